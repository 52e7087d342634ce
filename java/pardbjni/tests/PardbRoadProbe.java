import eu.veltrano.zamo.DeviceCommunication.provider.Pardbjni;
import eu.veltrano.zamo.DeviceCommunication.provider.PardbprotoCallbacks;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import vlntest.Check;
import vlntest.Steps;

/**
 * Pardbjni against a device of the road test. Arguments: the device id, its table signature, the value of
 * parameter 10 (hex each). The device's parameter 13 is read-only and its store takes about 5 s, announced.
 * Parameter 12 gets 2500 bytes (i * 7 + 3), which the test then reads on the device.
 */
public final class PardbRoadProbe {
    static final LinkedBlockingQueue<String> calls = new LinkedBlockingQueue<>();
    /** When set, the next read result starts a read of parameter 13 from inside the callback. */
    static volatile boolean chain;

    static String next(long ms) throws InterruptedException {
        String s = calls.poll(Check.slackMillis(ms), TimeUnit.MILLISECONDS);
        if (s == null) Check.fail("no callback within " + ms + " ms");
        return s;
    }

    /** Nothing arrives during `ms`; a lower bound, so no slack. */
    static void quietFor(long ms, String what) throws InterruptedException {
        String s = calls.poll(ms, TimeUnit.MILLISECONDS);
        if (s != null) Check.fail(what + ": unexpected " + s);
    }

    public static void main(String[] args) throws Exception {
        final byte[] id = Check.unhex(args[0]);
        final String h = args[0];
        final String signature = args[1];
        final String value10 = args[2];
        Pardbjni.load();
        final PardbprotoCallbacks callbacks = Pardbjni.getCallbacks();
        callbacks.setListener(new PardbprotoCallbacks.Listener() {
            void add(String s) {
                calls.add((Thread.holdsLock(callbacks) ? "" : "nomonitor ") + s);
            }

            public void nativeCallbackSetDeviceStatus(byte[] r, boolean c) {
                add("status " + Check.hex(r) + " " + c);
            }

            public void nativeCallbackParameterSignatureResult(byte[] r, byte[] s) {
                add("signature " + Check.hex(r) + " " + Check.hex(s));
            }

            public void nativeCallbackStoreOperationResult(byte[] r, int result) {
                add("store " + Check.hex(r) + " " + result);
            }

            public void nativeCallbackReadOperationResult(byte[] r, int index, byte[] data) {
                add("read " + Check.hex(r) + " " + index + " " + Check.hex(data));
                if (chain) {
                    chain = false;
                    try {
                        add("chained " + Pardbjni.readParameter(r, 13));
                    } catch (Exception e) {
                        add("chained " + e);
                    }
                }
            }

            public void nativeCallbackWriteOperationResult(byte[] r, int index, boolean written) {
                add("write " + Check.hex(r) + " " + index + " " + written);
            }

            public void handleNativeException(String text, String module, byte[] r) {
                add("exception " + text);
            }

            public void handleNativeGenericException(Exception e) {
                add("generic " + e.getMessage());
            }
        });

        Check.test("connect: the device's status is true", () -> {
            Check.isTrue(Pardbjni.connectRemoteHw(id), "connect");
            Check.equal("status " + h + " true", next(10000), "connected");
        });

        Check.test("a read returns the device's value", () -> {
            Check.isTrue(Pardbjni.readParameter(id, 10), "read sent");
            Check.equal("read " + h + " 10 " + value10, next(10000), "value");
        });

        Check.test("a 2500-byte write reports true; a refused one false", () -> {
            byte[] big = new byte[2500];
            for (int i = 0; i < big.length; i++) big[i] = (byte) (i * 7 + 3);
            Check.isTrue(Pardbjni.writeParameter(id, 12, big), "write sent");
            Check.equal("write " + h + " 12 true", next(10000), "written");
            Check.isTrue(Pardbjni.writeParameter(id, 13, new byte[] {1}), "refused write sent");
            Check.equal("write " + h + " 13 false", next(10000), "refused");
        });

        Check.test("indices 65536 and -1 are false with no traffic and no exception", () -> {
            Check.isTrue(!Pardbjni.readParameter(id, 65536), "65536");
            Check.isTrue(!Pardbjni.readParameter(id, -1), "-1");
            Check.isTrue(!Pardbjni.writeParameter(id, -1, new byte[] {1}), "write -1");
        });

        Check.test("an empty write is false and the channel stays up past 2 s", () -> {
            Check.isTrue(!Pardbjni.writeParameter(id, 14, new byte[0]), "empty write");
            quietFor(2500, "after the empty write");
            Check.isTrue(Pardbjni.getParameterSignature(id), "signature sent");
            Check.equal("signature " + h + " " + signature, next(10000), "signature");
        });

        Check.test("a store the device extends to 5 s reports 1 with no disconnect", () -> {
            long start = System.nanoTime();
            Check.isTrue(Pardbjni.storeParameters(id), "store sent");
            Check.equal("store " + h + " 1", next(30000), "stored");
            long ms = (System.nanoTime() - start) / 1000000;
            Check.isTrue(ms >= 4500, "the device took its time: " + ms + " ms");
            quietFor(1500, "after the store");
        });

        Check.test("a request started from a result callback is answered", () -> {
            chain = true;
            Check.isTrue(Pardbjni.readParameter(id, 10), "read sent");
            Check.equal("read " + h + " 10 " + value10, next(10000), "first");
            Check.equal("chained true", next(10000), "started from the callback");
            Check.equal("read " + h + " 13 07", next(10000), "its answer");
        });

        Check.test("unplugged and back: false, then true, and requests work again", () -> {
            Steps.at("replug");
            Check.equal("status " + h + " false", next(10000), "down");
            Check.isTrue(!Pardbjni.readParameter(id, 10), "no channel: not sent");
            Check.equal("status " + h + " true", next(15000), "up again");
            Check.isTrue(Pardbjni.readParameter(id, 10), "read sent");
            Check.equal("read " + h + " 10 " + value10, next(10000), "value again");
        });

        // Returns from main with the device still registered: the JVM must end by itself; the test
        // takes the time from here.
        if (Check.finish() != 0) System.exit(1);
        System.out.println("probe done " + System.currentTimeMillis());
    }
}
