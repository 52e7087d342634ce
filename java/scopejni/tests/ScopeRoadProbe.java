import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.DigScopeCapabilities;
import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.DigitalScopeTimingEstimation;
import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.DigitalScopeTimingSingleChannel;
import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.ProtocolDigitalScopeCallbacks;
import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.Scopejni;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import vlntest.Check;
import vlntest.Steps;

/**
 * Scopejni against a scope device of the road test. Arguments: the device id, its signature (hex), its
 * capabilities (maxChannels, maxTriggers, baseSampleSize, timeBase bits as hex, bufferSize), the file that gets
 * the raw data. The test turns the device's knobs at the named steps.
 */
public final class ScopeRoadProbe {
    /** One callback: its line and, for setDataStream, the data. */
    static final class Call {
        final String line;
        final byte[] data;
        final DigitalScopeTimingEstimation estimation;

        Call(String line, byte[] data, DigitalScopeTimingEstimation estimation) {
            this.line = line;
            this.data = data;
            this.estimation = estimation;
        }
    }

    static final LinkedBlockingQueue<Call> calls = new LinkedBlockingQueue<>();

    static Call next(long ms) throws InterruptedException {
        Call c = calls.poll(Check.slackMillis(ms), TimeUnit.MILLISECONDS);
        if (c == null) Check.fail("no callback within " + ms + " ms");
        return c;
    }

    /** The next callback whose line starts with `prefix`, skipping status updates of the capture. */
    static Call nextOf(String prefix, long ms) throws InterruptedException {
        long end = System.nanoTime() + Check.slackMillis(ms) * 1000000L;
        while (true) {
            long left = (end - System.nanoTime()) / 1000000L;
            Call c = left > 0 ? calls.poll(left, TimeUnit.MILLISECONDS) : null;
            if (c == null) {
                Check.fail("no " + prefix + " within " + ms + " ms");
                return new Call("", new byte[0], null);
            }
            if (c.line.startsWith(prefix)) return c;
            if (!c.line.startsWith("statusUpdate")) Check.fail("unexpected " + c.line + " waiting for " + prefix);
        }
    }

    static String channels(DigitalScopeTimingEstimation e) {
        int[] list = new int[e.channelsList.length];
        for (int i = 0; i < list.length; i++) list[i] = e.channelsList[i].channel;
        Arrays.sort(list);
        return Arrays.toString(list);
    }

    public static void main(String[] args) throws Exception {
        final byte[] id = Check.unhex(args[0]);
        final String h = args[0];
        final byte[] signature = Check.unhex(args[1]);
        final int maxChannels = Integer.parseInt(args[2]);
        final int maxTriggers = Integer.parseInt(args[3]);
        final int baseSampleSize = Integer.parseInt(args[4]);
        final float timeBase = Float.intBitsToFloat(Integer.parseUnsignedInt(args[5], 16));
        final int bufferSize = Integer.parseInt(args[6]);
        final Path rawFile = Path.of(args[7]);
        final byte[] unknown = new byte[16];
        Arrays.fill(unknown, (byte) 0x77);

        Scopejni.load();
        final ProtocolDigitalScopeCallbacks callbacks = Scopejni.getCallbacks();
        callbacks.setListener(new ProtocolDigitalScopeCallbacks.Listener() {
            void add(String line, byte[] data, DigitalScopeTimingEstimation e) {
                Thread t = Thread.currentThread();
                String where = Thread.holdsLock(callbacks) && t.getName().equals("Scopejni") ? "" : "wrongthread ";
                calls.add(new Call(where + line, data, e));
            }

            public void setConnectionStatus(byte[] r, boolean c) {
                add("connection " + Check.hex(r) + " " + c, null, null);
            }

            public void statusUpdate(byte[] r, int state, float fill) {
                add("statusUpdate " + Check.hex(r) + " " + state + " " + fill, null, null);
            }

            public void setTimingEstimation(byte[] r, DigitalScopeTimingEstimation e) {
                add("timing " + Check.hex(r) + " " + e.count + " " + channels(e), null, e);
            }

            public void progressUpdate(byte[] r, int received, int total) {
                add("progress " + Check.hex(r) + " " + received + " " + total, null, null);
            }

            public void setDataStream(byte[] r, int status, byte[] data) {
                add("data " + Check.hex(r) + " " + status + " " + data.length, data, null);
            }

            public void handleNativeException(String text, String module, byte[] r) {
                add("exception " + text, null, null);
            }

            public void handleNativeGenericException(Exception e) {
                add("generic " + e.getMessage(), null, null);
            }
        });

        Check.test("register: connected", () -> {
            Check.isTrue(Scopejni.registerRemote(id), "register");
            Check.equal("connection " + h + " true", next(10000).line, "up");
        });

        Check.test("capabilities fill the five fields; a status-3 reply leaves them", () -> {
            DigScopeCapabilities caps = new DigScopeCapabilities();
            Check.equal(0L, Scopejni.getRemoteCapabilities(id, caps), "status");
            Check.equal(maxChannels, caps.maxChannels, "maxChannels");
            Check.equal(maxTriggers, caps.maxTriggers, "maxTriggers");
            Check.equal(baseSampleSize, caps.baseSampleSize, "baseSampleSize");
            Check.equal(Float.floatToRawIntBits(timeBase), Float.floatToRawIntBits(caps.timeBase), "timeBase bits");
            Check.equal(bufferSize, caps.bufferSize, "bufferSize");
            Steps.at("cap3");
            DigScopeCapabilities filled = new DigScopeCapabilities();
            filled.maxChannels = 11;
            filled.maxTriggers = 12;
            filled.baseSampleSize = 13;
            filled.timeBase = 1.5f;
            filled.bufferSize = 14;
            Check.equal(3L, Scopejni.getRemoteCapabilities(id, filled), "status 3");
            Check.equal("DigScopeCapabilities(maxChannels=11, maxTriggers=12, baseSampleSize=13, timeBase=1.5, "
                    + "bufferSize=14)", filled.toString(), "unchanged");
        });

        Check.test("signature: 16 bytes copied; a 15-byte array is false and untouched", () -> {
            byte[] out = new byte[16];
            Check.isTrue(Scopejni.getRemoteSignature(id, out), "16");
            Check.bytes(signature, out, "signature");
            byte[] small = new byte[15];
            Arrays.fill(small, (byte) 9);
            Check.isTrue(!Scopejni.getRemoteSignature(id, small), "15");
            byte[] nines = new byte[15];
            Arrays.fill(nines, (byte) 9);
            Check.bytes(nines, small, "untouched");
        });

        Check.test("channel -1 reaches the device as 65535; the timing lists the device's channels", () -> {
            Check.equal(0L, Scopejni.addChannel(id, (short) -1, 0.002f), "add 65535");
            Call first = nextOf("timing", 10000);
            Check.equal("timing " + h + " 1 [65535]", first.line, "one channel");
            Check.equal(0L, Scopejni.addChannel(id, (short) 1, 0.001f), "add 1");
            Call second = nextOf("timing", 10000);
            Check.equal("timing " + h + " 2 [1, 65535]", second.line, "two channels");
            for (DigitalScopeTimingSingleChannel c : second.estimation.channelsList)
                Check.isTrue(c.time > 0, "a time for " + c);
            Check.isTrue(second.estimation.maxCaptureTime > 0, "max capture time");
        });

        Check.test("a list of 255 entries and an empty one", () -> {
            Steps.at("list255");
            Check.equal(0L, Scopejni.modifyChannel(id, (short) 1, 0.001f), "modify");
            DigitalScopeTimingEstimation e = nextOf("timing", 10000).estimation;
            Check.equal(255L, (long) e.count, "count");
            Check.equal(255L, (long) e.channelsList.length, "entries");
            Check.equal(7.5f, e.maxCaptureTime, "max time");
            for (int i = 0; i < 255; i++) {
                Check.equal(i + 1000, e.channelsList[i].channel, "entry " + i);
                Check.equal(0.25f * i, e.channelsList[i].time, "time " + i);
            }
            Steps.at("list0");
            Check.equal(0L, Scopejni.removeChannel(id, (short) 5), "remove");
            DigitalScopeTimingEstimation empty = nextOf("timing", 10000).estimation;
            Check.equal(0L, (long) empty.count, "count 0");
            Check.equal(0L, (long) empty.channelsList.length, "empty array");
            Check.equal(0f, empty.maxCaptureTime, "no time");
        });

        Check.test("a trigger's bytes go to the device; null data is refused", () -> {
            Check.equal(0L, Scopejni.addTrigger(id, (short) 1, 1, new byte[] {5}), "add trigger");
            NullPointerException npe = Check.throwsOf(NullPointerException.class,
                    () -> Scopejni.addTrigger(id, (short) 1, 1, null), "null data");
            Check.equal("data", npe.getMessage(), "argument named");
        });

        Check.test("arm: the device's unasked state changes come as statusUpdate up to valid", () -> {
            Check.equal(0L, Scopejni.armTrigger(id), "arm");
            while (true) {
                Call c = next(10000);
                Check.isTrue(c.line.startsWith("statusUpdate " + h + " "), "status: " + c.line);
                if (c.line.startsWith("statusUpdate " + h + " 3 ")) break;
            }
            Steps.at("inject");
            Check.equal("statusUpdate " + h + " 1 42.5", next(10000).line, "injected update");
        });

        Check.test("raw data: progress, then the exact bytes", () -> {
            Check.equal(0L, Scopejni.getRawData(id), "raw data");
            Call c = next(20000);
            Check.isTrue(c.line.startsWith("progress " + h + " "), "progress first: " + c.line);
            int progress = 1;
            while (c.line.startsWith("progress")) {
                c = next(20000);
                progress++;
            }
            Check.isTrue(c.line.startsWith("data " + h + " 0 "), "data: " + c.line);
            Files.write(rawFile, c.data);
            Check.isTrue(c.data.length > 90000, "about 100 000 bytes: " + c.data.length);
            Steps.at("rawcheck");
            Steps.at("raw5");
            Check.equal(5L, Scopejni.getRawData(id), "status 5");
            Check.equal("data " + h + " 5 0", nextOf("data", 10000).line, "status 5, no data");
        });

        Check.test("unregistered and malformed ids", () -> {
            Check.equal(1024L, Scopejni.addChannel(unknown, (short) 1, 1f), "int native");
            Check.equal(1024L, Scopejni.armTrigger(unknown), "arm");
            Check.isTrue(!Scopejni.getRemoteSignature(unknown, new byte[16]), "signature");
            Scopejni.unregisterRemote(unknown);
            WrapperException e = Check.throwsOf(WrapperException.class,
                    () -> Scopejni.cancel(new byte[17]), "17-byte id");
            Check.equal("Invalid remote id size", e.getText(), "text");
            Check.equal("Scopejni", e.getModule(), "module");
        });

        Check.test("a stalled service: 1024 within 3 s, then down and up", () -> {
            Steps.at("stall");
            long start = System.nanoTime();
            Check.equal(1024L, Scopejni.cancel(id), "stalled request");
            long ms = (System.nanoTime() - start) / 1000000L;
            Check.isTrue(ms < Check.slackMillis(3000), "within 3 s: " + ms + " ms");
            Steps.at("unstall");
            Check.equal("connection " + h + " false", nextOf("connection", 10000).line, "down");
            Check.equal("connection " + h + " true", nextOf("connection", 15000).line, "up again");
            Check.isTrue(Scopejni.cancel(id) != 1024, "answered again");
        });

        Check.test("raw data that stops after its first kilobyte: 1024, then down and up", () -> {
            Check.equal(0L, Scopejni.armTrigger(id), "arm");
            while (!nextOf("statusUpdate", 10000).line.startsWith("statusUpdate " + h + " 3 ")) {}
            Steps.at("stallraw");
            long start = System.nanoTime();
            Check.equal(1024L, Scopejni.getRawData(id), "stalled raw data");
            long ms = (System.nanoTime() - start) / 1000000L;
            Check.isTrue(ms < Check.slackMillis(3000), "within 3 s: " + ms + " ms");
            Call c = nextOf("progress", 10000);
            Check.isTrue(c.line.startsWith("progress " + h + " "), "the first chunk's progress: " + c.line);
            Steps.at("unstallraw");
            c = next(10000);
            while (c.line.startsWith("progress")) c = next(10000);
            Check.equal("connection " + h + " false", c.line, "down, no data stream");
            Check.equal("connection " + h + " true", nextOf("connection", 15000).line, "up again");
        });

        Check.test("nothing reached Java off the dispatcher thread or without the monitor", () -> {
            for (Call c : calls) Check.isTrue(!c.line.startsWith("wrongthread"), c.line);
        });

        // Returns from main with the device still registered: the JVM must end by itself; the test
        // takes the time from here.
        if (Check.finish() != 0) System.exit(1);
        System.out.println("probe done " + System.currentTimeMillis());
    }
}
