import vlntest.Check;
import vlntest.Fakejni;

/**
 * A broken callbacks class fails the load with the JVM's own error, undoing everything (no dispatcher thread
 * left); the binding then loads again once the class is right.
 */
public final class FakeLoadRefusalTest {
    public static void main(String[] args) {
        Object[][] cases = {
            {"vlntest/NoSuchCallbacks", NoClassDefFoundError.class},
            {"vlntest/FakeCallbacksWithoutEvent", NoSuchMethodError.class},
        };
        for (Object[] c : cases) {
            String name = (String) c[0];
            @SuppressWarnings("unchecked")
            Class<? extends Throwable> expected = (Class<? extends Throwable>) c[1];
            Check.test("refused: " + name, () -> {
                System.setProperty("Fakejni.callbacksClass", name);
                Check.throwsOf(expected, Fakejni::load, "load()");
                Check.isTrue(!Check.threadAlive("Fakejni"), "no dispatcher thread left behind");
                Check.isTrue(Fakejni.getCallbacks() == null, "no callbacks object published");
            });
        }
        Check.test("then loads", () -> {
            System.clearProperty("Fakejni.callbacksClass");
            Fakejni.load();
            Check.isTrue(Check.threadAlive("Fakejni"), "dispatcher thread running");
            Check.isTrue(Fakejni.registerRemote(new byte[16]), "the natives work");
            Check.isTrue(Fakejni.unregisterRemote(new byte[16]), "unregister");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
