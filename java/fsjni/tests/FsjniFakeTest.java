import eu.veltrano.zamo.DeviceCommunication.provider.Fsjni;
import eu.veltrano.zamo.DeviceCommunication.provider.FsprotoCallbacks;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import vlntest.Check;

/** The file server binding's event switch over the fake library: exact lengths, bounded names, code texts. */
public final class FsjniFakeTest {
    static final LinkedBlockingQueue<String> calls = new LinkedBlockingQueue<>();

    static final class Recorder implements FsprotoCallbacks.Listener {
        public void nativeCallbackSetOperationProgress(int done, int total) { calls.add("progress " + done + " " + total); }
        public void nativeCallbackSetFileInfo(String name, int size, int attributes) {
            calls.add("info " + name + " " + size + " " + attributes);
        }
        public void nativeCallbackSetOperationEnd(boolean success, int code, String text) {
            calls.add("end " + success + " " + code + " " + text);
        }
        public void handleNativeException(String text, String module, byte[] id) {
            calls.add("error " + module + " " + Check.hex(id) + " " + text);
        }
        public void handleNativeGenericException(Exception e) { calls.add("generic " + e.getMessage()); }
    }

    static List<String> take(int n) throws InterruptedException {
        List<String> got = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            String c = calls.poll(Check.slackMillis(10000), TimeUnit.MILLISECONDS);
            if (c == null) break;
            got.add(c);
        }
        return got;
    }

    public static void main(String[] args) throws Exception {
        final byte[] id = new byte[16];
        final String zeros = "00000000000000000000000000000000";
        final String wrongSize = "error Fsjni " + zeros + " Wrong packet size from remote.";
        Fsjni.load();
        Fsjni.getCallbacks().setListener(new Recorder());

        Check.test("every event has its exact length; the name stops at its field", () -> {
            Check.isTrue(Fsjni.getFileListFromRemote(id, "root", ""), "listing started");
            List<String> expected = List.of(
                    "info " + "n".repeat(32) + " 123 65535",
                    wrongSize, wrongSize, wrongSize,
                    "progress 5 0",
                    wrongSize,
                    "error Fsjni " + zeros + " Unknown event from remote device.",
                    "end false -2147483648 the most negative code",
                    "end true -2147483648 the most negative code",
                    "end false 2 No such file (ENOENT)",
                    "end true -107 connection refused (ECONNREFUSED)",
                    "end false -5 null",
                    "end true 0 ");
            Check.equal(String.join("\n", expected), String.join("\n", take(expected.size())), "callbacks");
        });

        Check.test("a refused start reports its end and returns false", () -> {
            Check.isTrue(!Fsjni.deleteFileFromRemote(id, "root", "x"), "refused");
            Check.equal(List.of("end false -107 connection refused (ECONNREFUSED)"), take(1), "end");
            Check.isTrue(calls.poll(300, TimeUnit.MILLISECONDS) == null, "nothing more");
        });

        System.exit(Check.finish());
    }
}
