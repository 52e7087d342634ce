import eu.veltrano.zamo.DeviceCommunication.provider.Fsjni;
import eu.veltrano.zamo.DeviceCommunication.provider.FsprotoCallbacks;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import vlntest.Check;

/**
 * Runs Fsjni operations for a road test that owns the device. Each argument is one operation
 * "op:ID:arg..." (ID as hex or "null"; String arguments as hex of their UTF-8 or "null"; the attribute word
 * decimal): put:ID:vol:local:remote:attr, get:ID:vol:remote:local, list:ID:vol:second, del:ID:vol:remote, and
 * chain:ID:vol:local:remote:attr (a put whose operation end starts a listing from inside the callback). An
 * op prefixed "open-" is started and not waited for (the next op waits for its end too). Prints "start OP z:BOOL" or "start OP exc CLASS MODULE
 * IDHEX TEXTHEX", then the callbacks ("progress D T", "info NAMEHEX SIZE ATTR", "end Z CODE TEXTHEX|null"),
 * "violation WHAT" for a callback off the dispatcher thread or without the monitor, and returns from main.
 */
public final class FsjniProbe {
    static final Semaphore ends = new Semaphore(0);
    static volatile Runnable onEnd;

    static String hexUtf8(String s) {
        return s == null ? "null" : Check.hex(s.getBytes(StandardCharsets.UTF_8));
    }

    static String text(String hex) {
        return hex.equals("null") ? null : new String(Check.unhex(hex), StandardCharsets.UTF_8);
    }

    static synchronized void print(String line) {
        System.out.println(line);
        System.out.flush();
    }

    static void checkThread(String what) {
        Thread t = Thread.currentThread();
        if (!t.getName().equals("Fsjni") || !t.isDaemon()) print("violation " + what + " on " + t.getName());
        if (!Thread.holdsLock(Fsjni.getCallbacks())) print("violation " + what + " without the monitor");
    }

    static final class Printer implements FsprotoCallbacks.Listener {
        public void nativeCallbackSetOperationProgress(int done, int total) {
            checkThread("progress");
            print("progress " + done + " " + total);
        }

        public void nativeCallbackSetFileInfo(String name, int size, int attributes) {
            checkThread("info");
            print("info " + hexUtf8(name) + " " + size + " " + attributes);
        }

        public void nativeCallbackSetOperationEnd(boolean success, int code, String text) {
            checkThread("end");
            print("end " + success + " " + code + " " + (text == null ? "null" : hexUtf8(text)));
            Runnable next = onEnd;
            onEnd = null;
            if (next != null) next.run();
            ends.release();
        }

        public void handleNativeException(String text, String module, byte[] remoteId) {
            print("error " + module + " " + Check.hex(remoteId) + " " + hexUtf8(text));
        }

        public void handleNativeGenericException(Exception e) {
            print("generic " + hexUtf8(e.getMessage()));
        }
    }

    interface Start {
        boolean run() throws WrapperException;
    }

    static boolean start(String label, Start s) {
        try {
            boolean started = s.run();
            print(label + " z:" + started);
            return true;
        } catch (WrapperException e) {
            print(label + " exc WrapperException " + e.getModule() + " " + Check.hex(e.getRemoteId()) + " "
                    + hexUtf8(e.getText()));
        } catch (Exception e) {
            print(label + " exc " + e.getClass().getSimpleName() + " - - " + hexUtf8(e.getMessage()));
        }
        return false;
    }

    public static void main(String[] args) throws Exception {
        Fsjni.load();
        Fsjni.getCallbacks().setListener(new Printer());
        int open = 0;  // ends still owed by operations not waited for
        for (String arg : args) {
            String[] p = arg.split(":", -1);
            boolean wait = !p[0].startsWith("open-");
            String op = wait ? p[0] : p[0].substring(5);
            byte[] id = p[1].equals("null") ? null : Check.unhex(p[1]);
            int expectedEnds = 1;
            Start s;
            switch (op) {
                case "put": s = () -> Fsjni.putFileToRemote(id, text(p[2]), text(p[3]), text(p[4]),
                        (short) Integer.parseInt(p[5])); break;
                case "get": s = () -> Fsjni.getFileFromRemote(id, text(p[2]), text(p[3]), text(p[4])); break;
                case "list": s = () -> Fsjni.getFileListFromRemote(id, text(p[2]), text(p[3])); break;
                case "del": s = () -> Fsjni.deleteFileFromRemote(id, text(p[2]), text(p[3])); break;
                case "chain":
                    expectedEnds = 2;
                    onEnd = () -> start("chained list", () -> Fsjni.getFileListFromRemote(id, text(p[2]), ""));
                    s = () -> Fsjni.putFileToRemote(id, text(p[2]), text(p[3]), text(p[4]),
                            (short) Integer.parseInt(p[5]));
                    break;
                default: throw new IllegalArgumentException("unknown operation " + op);
            }
            if (open == 0) ends.drainPermits();
            boolean called = start("start " + op, s);
            if (!wait) {
                if (called) open++;
                continue;
            }
            expectedEnds += open;
            open = 0;
            if (called && !ends.tryAcquire(expectedEnds, Check.slackMillis(30000), TimeUnit.MILLISECONDS))
                print("timeout " + op);
            if (!called) Thread.sleep(200);  // nothing should come; a late callback would show
        }
        print("done");
        // Returns with whatever is still open: the JVM must end by itself.
    }
}
