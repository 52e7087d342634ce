import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.DigScopeCapabilities;
import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.DigitalScopeTimingEstimation;
import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.ProtocolDigitalScopeCallbacks;
import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.Scopejni;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import vlntest.Check;

/**
 * Scopejni over the fake scope library: payloads of the wrong length, events the binding does not know, a raw
 * result whose data is missing, unsigned record fields, and the natives' argument checks. Argument: the fake's log.
 */
public final class ScopejniFakeTest {
    static final int COMMAND = 0x7FFF5C;
    static final LinkedBlockingQueue<String> calls = new LinkedBlockingQueue<>();
    static Path log;

    static String next() throws InterruptedException {
        String s = calls.poll(Check.slackMillis(10000), TimeUnit.MILLISECONDS);
        if (s == null) Check.fail("no callback within the time-out");
        return s;
    }

    static List<String> logLines() throws Exception {
        return Files.exists(log) ? Files.readAllLines(log) : new ArrayList<>();
    }

    static void emit(byte[] id, int event, int mode, byte[] rest) throws WrapperException {
        byte[] cmd = new byte[2 + rest.length];
        cmd[0] = (byte) event;
        cmd[1] = (byte) mode;
        System.arraycopy(rest, 0, cmd, 2, rest.length);
        Check.equal(0L, Scopejni.addTrigger(id, (short) 0, COMMAND, cmd), "emit " + event);
    }

    static ByteBuffer le(int size) {
        return ByteBuffer.allocate(size).order(ByteOrder.LITTLE_ENDIAN);
    }

    public static void main(String[] args) throws Exception {
        log = Path.of(args[0]);
        Files.deleteIfExists(log);
        Scopejni.load();
        final ProtocolDigitalScopeCallbacks callbacks = Scopejni.getCallbacks();
        callbacks.setListener(new ProtocolDigitalScopeCallbacks.Listener() {
            void add(String s) {
                calls.add((Thread.holdsLock(callbacks) ? "" : "nomonitor ") + s);
            }

            public void setConnectionStatus(byte[] r, boolean c) {
                add("connection " + Check.hex(r) + " " + c);
            }

            public void statusUpdate(byte[] r, int state, float fill) {
                add("status " + Check.hex(r) + " " + state + " " + fill);
            }

            public void setTimingEstimation(byte[] r, DigitalScopeTimingEstimation e) {
                StringBuilder b = new StringBuilder();
                for (var c : e.channelsList) b.append(' ').append(c.channel).append('/').append(c.time);
                add("timing " + Check.hex(r) + " " + e.count + " " + e.maxCaptureTime + b);
            }

            public void progressUpdate(byte[] r, int received, int total) {
                add("progress " + Check.hex(r) + " " + received + " " + total);
            }

            public void setDataStream(byte[] r, int status, byte[] data) {
                add("data " + Check.hex(r) + " " + status + " " + Check.hex(data));
            }

            // Error reports come without the monitor.
            public void handleNativeException(String text, String module, byte[] r) {
                calls.add("exception " + Check.hex(r) + " " + module + " " + text);
            }

            public void handleNativeGenericException(Exception e) {
                calls.add("generic " + e.getMessage());
            }
        });
        final byte[] a = new byte[16];
        for (int i = 0; i < 16; i++) a[i] = (byte) (0x40 + i);
        final String ah = Check.hex(a);
        final byte[] other = new byte[16];

        Check.test("register, and the id's calls before it", () -> {
            Check.equal(1024L, Scopejni.addChannel(a, (short) 1, 1f), "not registered yet");
            Check.isTrue(!logLines().contains("addChannel 1"), "library not called");
            Check.isTrue(Scopejni.registerRemote(a), "register");
            Check.equal("connection " + ah + " true", next(), "up");
        });

        Check.test("payloads of the right length are read", () -> {
            emit(a, 2, 0, le(8).putInt(-1).putFloat(0.75f).array());
            Check.equal("status " + ah + " -1 0.75", next(), "status update");
            emit(a, 4, 0, le(8).putInt(6).putInt(100006).array());
            Check.equal("progress " + ah + " 6 100006", next(), "progress");
            ByteBuffer list = le(2056).putFloat(2.5f).put((byte) 2);
            list.position(8);
            list.putShort((short) 0xFFFE).putShort((short) 0x7777).putFloat(0.5f);
            list.putShort((short) 3).putShort((short) 0).putFloat(1.25f);
            emit(a, 3, 0, list.array());
            Check.equal("timing " + ah + " 2 2.5 65534/0.5 3/1.25", next(), "list: count entries only");
            emit(a, 5, 1, le(11).putInt(0).putInt(3).put(new byte[] {9, 8, 7}).array());
            Check.equal("data " + ah + " 0 090807", next(), "raw data copied");
            emit(a, 5, 1, le(8).putInt(7).putInt(0).array());
            Check.equal("data " + ah + " 7 ", next(), "raw status, no data");
            emit(a, 0, 2, new byte[3]);
            Check.equal("connection " + ah + " false", next(), "down whatever the reason");
        });

        Check.test("wrong lengths are reported, unknown events dropped, and the next event comes", () -> {
            int[][] wrong = {{2, 7}, {2, 9}, {3, 2055}, {3, 2057}, {4, 4}, {5, 15}, {5, 24}};
            for (int[] w : wrong) {
                emit(a, w[0], 0, new byte[w[1]]);
                Check.equal("exception " + ah + " Scopejni Wrong packet size from remote.", next(),
                        "event " + w[0] + " of " + w[1]);
            }
            emit(a, 2, 2, new byte[8]);
            Check.equal("exception " + ah + " Scopejni Wrong packet size from remote.", next(),
                    "length 8 without data");
            emit(a, 5, 1, le(8).putInt(0).putInt(1000).array());
            Check.equal("exception " + ah + " Scopejni Wrong packet size from remote.", next(),
                    "raw size without data");
            for (int unknown : new int[] {6, 99, 255}) emit(a, unknown, 0, new byte[8]);
            emit(a, 1, 0, new byte[0]);
            Check.equal("connection " + ah + " true", next(), "unknown events made no call");
        });

        Check.test("record fields are unsigned where the library's are", () -> {
            DigScopeCapabilities caps = new DigScopeCapabilities();
            Check.equal(0L, Scopejni.getRemoteCapabilities(a, caps), "status");
            Check.equal("DigScopeCapabilities(maxChannels=200, maxTriggers=255, baseSampleSize=129, timeBase=-2.5, "
                    + "bufferSize=-2147483647)", caps.toString(), "fields");
        });

        Check.test("numbers: the low 16 bits, zero-extended; kinds and lengths unchanged", () -> {
            Check.equal(0L, Scopejni.removeChannel(a, (short) -2), "remove");
            Check.equal(0L, Scopejni.modifyTrigger(a, (short) 0x8000, -7, new byte[] {1, 2, 3, 4, 5, 6, 7, 8}),
                    "modify trigger");
            Check.equal(0L, Scopejni.removeTrigger(a, (short) -1), "remove trigger");
            Check.equal(0L, Scopejni.addTrigger(a, (short) 2, 3, new byte[0]), "empty threshold");
            List<String> lines = logLines();
            for (String want : new String[] {"removeChannel 65534", "modifyTrigger 32768 -7 8", "removeTrigger 65535",
                    "addTrigger 2 3 0"})
                Check.isTrue(lines.contains(want), want + " in " + lines);
        });

        Check.test("null arguments and malformed ids", () -> {
            Check.equal("capabilities", Check.throwsOf(NullPointerException.class,
                    () -> Scopejni.getRemoteCapabilities(a, null), "caps").getMessage(), "caps named");
            Check.equal("signature", Check.throwsOf(NullPointerException.class,
                    () -> Scopejni.getRemoteSignature(a, null), "signature").getMessage(), "signature named");
            Check.equal("data", Check.throwsOf(NullPointerException.class,
                    () -> Scopejni.modifyTrigger(a, (short) 1, 1, null), "data").getMessage(), "data named");
            WrapperException e = Check.throwsOf(WrapperException.class,
                    () -> Scopejni.armTrigger(new byte[15]), "15 bytes");
            Check.equal("Invalid remote id size", e.getText(), "text");
            Check.equal("Scopejni", e.getModule(), "module");
            Check.equal(15L, (long) e.getRemoteId().length, "id as received");
        });

        Check.test("unregister: once, then the id is unknown", () -> {
            Scopejni.unregisterRemote(a);
            String down = next();
            Check.isTrue(down.equals("connection  false") || down.equals("connection " + ah + " false"), down);
            Scopejni.unregisterRemote(a);
            Check.equal(1024L, Scopejni.getRawData(a), "after unregister");
            Check.isTrue(!Scopejni.getRemoteSignature(a, new byte[16]), "signature after unregister");
            Check.equal(1L, logLines().stream().filter(l -> l.startsWith("unregister ")).count(), "one unregister");
            Check.isTrue(!logLines().contains("rawData"), "no library call");
        });

        Check.test("every callback held the monitor", () -> {
            for (String s : calls) Check.isTrue(!s.startsWith("nomonitor"), s);
        });

        Check.isTrue(Scopejni.registerRemote(other), "left registered at exit");
        // Returns from main with a registration open: the JVM must still end.
        if (Check.finish() != 0) System.exit(1);
    }
}
