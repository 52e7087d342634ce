import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.InputStream;
import java.util.List;
import java.util.concurrent.TimeUnit;
import vlntest.Check;
import vlntest.Fakejni;

/**
 * A Java main that returns with registrations open (FakeExitTest$Child, in its own JVM) ends that JVM within
 * 5 s, cleanly: exit 0, no JNI warning, and the library's exit-time callbacks (it tears its open handles down at
 * process exit) find the binding still there.
 */
public final class FakeExitTest {
    public static final class Child {
        public static void main(String[] args) throws Exception {
            Fakejni.load();
            Fakejni.getCallbacks().setListener(new vlntest.FakeCallbacks.Listener() {
                @Override
                public void onEvent(byte[] remoteId, int type, byte[] payload) {
                    System.out.println("event " + type);
                }

                @Override
                public void handleNativeException(String text, String module, byte[] remoteId) {}

                @Override
                public void handleNativeGenericException(Exception e) {}
            });
            byte[] a = Check.unhex("404142434445464748494A4B4C4D4E4F");
            byte[] b = Check.unhex("505152535455565758595A5B5C5D5E5F");
            if (!Fakejni.registerRemote(a) || !Fakejni.registerRemote(b)) System.exit(3);
            Fakejni.emit(a, 5, new byte[] {1});
            System.out.println("child returns from main");
        }
    }

    public static void main(String[] args) throws Exception {
        Check.test("main returns with registrations open", () -> {
            String java = System.getProperty("java.home") + File.separator + "bin" + File.separator + "java";
            ProcessBuilder pb = new ProcessBuilder(List.of(java, "-Xcheck:jni",
                    "-Djava.library.path=" + System.getProperty("java.library.path"),
                    "-cp", System.getProperty("java.class.path"), "FakeExitTest$Child"));
            pb.redirectErrorStream(true);
            long start = System.nanoTime();
            Process p = pb.start();
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            Thread reader = new Thread(() -> {
                try (InputStream in = p.getInputStream()) {
                    in.transferTo(out);
                } catch (Exception e) {
                    // the process is gone
                }
            });
            reader.start();
            boolean ended = p.waitFor(Check.slackMillis(5000), TimeUnit.MILLISECONDS);
            long tookMs = (System.nanoTime() - start) / 1_000_000L;
            if (!ended) p.destroyForcibly().waitFor();
            reader.join();
            String text = out.toString();
            System.out.println(text);
            Check.isTrue(ended, "the child JVM ended (after " + tookMs + " ms)");
            if (!ended) return;
            Check.equal(0, p.exitValue(), "exit code");
            Check.isTrue(text.contains("child returns from main"), "the child ran");
            Check.isTrue(!text.contains("WARNING in native method") && !text.contains("WARNING: JNI"),
                    "no JNI warning");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
