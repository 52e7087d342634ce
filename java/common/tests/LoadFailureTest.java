import eu.veltrano.zamo.DeviceCommunication.provider.Devmgrjni;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import vlntest.Check;

/**
 * A binding whose wrapped library is missing (the "<module>.library" property names a file that does not exist)
 * throws its WrapperException from load(), again on a second try, and the JVM then ends normally: main returns
 * without System.exit when everything passed, so a thread left behind by the failed load would keep it alive.
 */
public final class LoadFailureTest {
    public static void main(String[] args) {
        for (int attempt = 1; attempt <= 2; attempt++) {
            final int n = attempt;
            Check.test("load attempt " + n, () -> {
                WrapperException e = Check.throwsOf(WrapperException.class, Devmgrjni::load, "load()");
                if (e == null) return;
                Check.equal("Error: target dll load failed", e.getMessage(), "text");
                Check.equal("Devmgrjni", e.getModule(), "module");
                Check.bytes(new byte[16], e.getRemoteId(), "id");
            });
        }
        Check.test("natives stay unbound", () -> {
            Check.throwsOf(UnsatisfiedLinkError.class, () -> Devmgrjni.getFriendlyName(new byte[16]),
                    "a native after the failed load");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
