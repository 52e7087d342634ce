import eu.veltrano.zamo.DeviceCommunication.provider.Pardbjni;
import eu.veltrano.zamo.DeviceCommunication.provider.PardbprotoCallbacks;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import vlntest.Check;

/**
 * Pardbjni over the fake parameter database library: every event the switch knows, the sizes it refuses, the
 * unknown event, the index limits and the empty write, seen as callbacks and as calls in the fake's log.
 * Argument: the fake's log file.
 */
public final class PardbjniFakeTest {
    /** One callback, as a line: "method ID args...". */
    static final LinkedBlockingQueue<String> calls = new LinkedBlockingQueue<>();
    static final List<String> wrongThread = new ArrayList<>();
    static Path log;

    static void record(String line) {
        Thread t = Thread.currentThread();
        boolean ok = t.getName().equals("Pardbjni") && t.isDaemon();
        synchronized (wrongThread) {
            if (!ok) wrongThread.add(line + " on " + t.getName());
        }
        calls.add(line);
    }

    static String next() throws InterruptedException {
        String s = calls.poll(Check.slackMillis(10000), TimeUnit.MILLISECONDS);
        if (s == null) Check.fail("no callback within the time-out");
        return s;
    }

    static void expectNoCallback() throws InterruptedException {
        String s = calls.poll(300, TimeUnit.MILLISECONDS);
        if (s != null) Check.fail("unexpected callback " + s);
    }

    static byte[] id(int seed) {
        byte[] b = new byte[16];
        for (int i = 0; i < 16; i++) b[i] = (byte) (seed + i);
        return b;
    }

    static List<String> logLines() throws Exception {
        return Files.exists(log) ? Files.readAllLines(log) : new ArrayList<>();
    }

    /** The fake's command: emit event `event` with bytes `rest` in the given mode. */
    static boolean emit(byte[] device, int event, int mode, byte[] rest) throws WrapperException {
        byte[] cmd = new byte[2 + rest.length];
        cmd[0] = (byte) event;
        cmd[1] = (byte) mode;
        System.arraycopy(rest, 0, cmd, 2, rest.length);
        return Pardbjni.writeParameter(device, 0xFFFF, cmd);
    }

    static byte[] le(int value, int bytes) {
        byte[] b = new byte[bytes];
        for (int i = 0; i < bytes; i++) b[i] = (byte) (value >>> (8 * i));
        return b;
    }

    static byte[] concat(byte[]... parts) {
        int n = 0;
        for (byte[] p : parts) n += p.length;
        byte[] out = new byte[n];
        int at = 0;
        for (byte[] p : parts) {
            System.arraycopy(p, 0, out, at, p.length);
            at += p.length;
        }
        return out;
    }

    public static void main(String[] args) throws Exception {
        log = Path.of(args[0]);
        Files.deleteIfExists(log);
        Pardbjni.load();
        final PardbprotoCallbacks callbacks = Pardbjni.getCallbacks();
        Check.isTrue(callbacks != null, "the binding made the callbacks object");
        callbacks.setListener(new PardbprotoCallbacks.Listener() {
            void monitor(String what) {
                if (!Thread.holdsLock(callbacks)) record("nomonitor " + what);
            }

            public void nativeCallbackSetDeviceStatus(byte[] remoteId, boolean connected) {
                monitor("status");
                record("status " + Check.hex(remoteId) + " " + connected);
            }

            public void nativeCallbackParameterSignatureResult(byte[] remoteId, byte[] signature) {
                monitor("signature");
                record("signature " + Check.hex(remoteId) + " " + Check.hex(signature));
            }

            public void nativeCallbackStoreOperationResult(byte[] remoteId, int result) {
                monitor("store");
                record("store " + Check.hex(remoteId) + " " + result);
            }

            public void nativeCallbackReadOperationResult(byte[] remoteId, int index, byte[] data) {
                monitor("read");
                record("read " + Check.hex(remoteId) + " " + index + " " + data.length + ":" + Check.hex(data));
            }

            public void nativeCallbackWriteOperationResult(byte[] remoteId, int index, boolean written) {
                monitor("write");
                record("write " + Check.hex(remoteId) + " " + index + " " + written);
            }

            public void handleNativeException(String text, String module, byte[] remoteId) {
                record("exception " + Check.hex(remoteId) + " " + module + " " + text);
            }

            public void handleNativeGenericException(Exception e) {
                record("generic " + e.getMessage());
            }
        });

        final byte[] a = id(0x20);
        final String ah = Check.hex(a);
        final byte[] other = id(0x60);

        Check.test("connect gives the channel-up status; a second connect registers nothing", () -> {
            Check.isTrue(Pardbjni.connectRemoteHw(a), "connect");
            Check.equal("status " + ah + " true", next(), "up");
            Check.isTrue(Pardbjni.connectRemoteHw(a), "connect again");
            expectNoCallback();
            long registers = logLines().stream().filter(l -> l.equals("register " + ah)).count();
            Check.equal(1L, registers, "one library registration");
        });

        Check.test("each request's result reaches its callback", () -> {
            Check.isTrue(Pardbjni.getParameterSignature(a), "signature sent");
            Check.equal("signature " + ah + " A0A1A2A3A4A5A6A7A8A9AAABACADAEAF", next(), "signature");
            Check.isTrue(Pardbjni.storeParameters(a), "store sent");
            Check.equal("store " + ah + " 1", next(), "store");
            Check.isTrue(Pardbjni.readParameter(a, 65535), "index 65535 goes to the library");
            byte[] v = "value 65535".getBytes(StandardCharsets.US_ASCII);
            Check.equal("read " + ah + " 65535 " + v.length + ":" + Check.hex(v), next(), "read");
            Check.isTrue(Pardbjni.writeParameter(a, 7, new byte[] {1, 2, 3}), "write sent");
            Check.equal("write " + ah + " 7 true", next(), "write");
            Check.isTrue(logLines().contains("read 65535"), "the library saw index 65535");
        });

        Check.test("indices outside 16 bits are refused before the library", () -> {
            int before = logLines().size();
            for (int index : new int[] {65536, -1, Integer.MIN_VALUE, 0x10000 + 5}) {
                Check.isTrue(!Pardbjni.readParameter(a, index), "read " + index + " refused");
                Check.isTrue(!Pardbjni.writeParameter(a, index, new byte[] {1}), "write " + index + " refused");
            }
            Check.equal((long) before, (long) logLines().size(), "no library call");
            expectNoCallback();
        });

        Check.test("an empty write goes to the library with length 0 and returns its false", () -> {
            Check.isTrue(!Pardbjni.writeParameter(a, 9, new byte[0]), "empty write is false");
            List<String> lines = logLines();
            Check.equal("write 9 0", lines.get(lines.size() - 1), "length 0 passed on");
            expectNoCallback();
        });

        Check.test("event payloads the switch converts", () -> {
            // A store result passes the value unchanged, a write status other than 1 is false, an empty
            // value is a zero-length array, the index is zero-extended.
            Check.isTrue(emit(a, 3, 0, le(2, 4)), "emit store 2");
            Check.equal("store " + ah + " 2", next(), "store failed");
            Check.isTrue(emit(a, 5, 0, concat(le(0xFFFE, 2), new byte[2], le(2, 4))), "emit write 2");
            Check.equal("write " + ah + " 65534 false", next(), "write failed");
            Check.isTrue(emit(a, 4, 1, le(0x8001, 2)), "emit empty read");
            Check.equal("read " + ah + " 32769 0:", next(), "empty value");
            Check.isTrue(emit(a, 0, 2, new byte[3]), "emit down with a reason");
            Check.equal("status " + ah + " false", next(), "down whatever the reason");
        });

        Check.test("wrong sizes and unknown events reach handleNativeException; the next event still comes", () -> {
            String[][] cases = {
                {"2", "15", "Wrong packet size from remote for signature request."},
                {"2", "17", "Wrong packet size from remote for signature request."},
                {"3", "3", "Wrong packet size from remote for store operation."},
                {"4", "23", "Wrong packet size from remote for read operation."},
                {"4", "25", "Wrong packet size from remote for read operation."},
                {"5", "9", "Wrong packet size from remote for write operation."},
                {"6", "0", "Unknown event from remote device."},
                {"6", "4", "Unknown event from remote device."},
                {"200", "1", "Unknown event from remote device."},
            };
            for (String[] c : cases) {
                Check.isTrue(emit(a, Integer.parseInt(c[0]), 0, new byte[Integer.parseInt(c[1])]), "emit " + c[0]);
                Check.equal("exception " + ah + " Pardbjni " + c[2], next(), "event " + c[0] + " of " + c[1]);
                Check.isTrue(Pardbjni.storeParameters(a), "store after");
                Check.equal("store " + ah + " 1", next(), "next event delivered after " + c[0]);
            }
            // No data at all, where a payload is needed: the size text, never a read of nothing.
            Check.isTrue(emit(a, 2, 2, new byte[16]), "signature without data");
            Check.equal("exception " + ah + " Pardbjni Wrong packet size from remote for signature request.", next(),
                    "null data of length 16");
        });

        Check.test("requests for an id not connected are false without a library call", () -> {
            int before = logLines().size();
            Check.isTrue(!Pardbjni.getParameterSignature(other), "signature");
            Check.isTrue(!Pardbjni.storeParameters(other), "store");
            Check.isTrue(!Pardbjni.readParameter(other, 1), "read");
            Check.isTrue(!Pardbjni.writeParameter(other, 1, new byte[] {1}), "write");
            Check.isTrue(!Pardbjni.disconnectRemoteHw(other), "disconnect");
            Check.equal((long) before, (long) logLines().size(), "no library call");
        });

        Check.test("malformed and null arguments", () -> {
            byte[] shortId = new byte[15];
            WrapperException e = Check.throwsOf(WrapperException.class, () -> Pardbjni.readParameter(shortId, 1),
                    "15-byte id");
            Check.equal("Invalid remote id size", e.getText(), "text");
            Check.equal("Pardbjni", e.getModule(), "module");
            Check.equal(15L, (long) e.getRemoteId().length, "the id as received");
            NullPointerException npe = Check.throwsOf(NullPointerException.class,
                    () -> Pardbjni.writeParameter(a, 1, null), "null data");
            Check.equal("data", npe.getMessage(), "argument named");
            Check.throwsOf(NullPointerException.class, () -> Pardbjni.connectRemoteHw(null), "null id");
        });

        Check.test("disconnect unregisters once; the id is then unknown", () -> {
            Check.isTrue(Pardbjni.disconnectRemoteHw(a), "disconnect");
            // The id leaves the maps before the library is told, so the down the library sends during
            // its unregister call (the fake then pauses) is an orphan: the empty id, every time.
            Check.equal("status  false", next(), "the unregistration's down carries the empty id");
            Check.isTrue(!Pardbjni.disconnectRemoteHw(a), "second disconnect");
            Check.isTrue(!Pardbjni.storeParameters(a), "request after disconnect");
            Check.isTrue(logLines().contains("unregister " + ah), "library unregistered");
        });

        Check.test("every callback came on the daemon dispatcher thread holding the monitor", () -> {
            synchronized (wrongThread) {
                Check.equal("[]", wrongThread.toString(), "wrong threads");
            }
            for (String s : calls) Check.isTrue(!s.startsWith("nomonitor"), s);
        });

        // Left connected on purpose: the JVM must still end.
        Check.isTrue(Pardbjni.connectRemoteHw(other), "connect before exit");
        // Returns from main with a registration open: the JVM must still end.
        if (Check.finish() != 0) System.exit(1);
    }
}
