import eu.veltrano.zamo.DeviceCommunication.provider.StatprotoCallbacks;
import eu.veltrano.zamo.DeviceCommunication.provider.Statjni;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.util.Arrays;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import vlntest.Check;

/** The status binding over the fake library: every event kind, the malformed ones, and the natives' rules. */
public final class StatjniFakeTest {
    /** One callback as it arrived, with the thread and monitor it came with. */
    static final class Call {
        final String what;
        final byte[] id;
        final String value;
        final String thread;
        final boolean monitorHeld;

        Call(String what, byte[] id, String value) {
            this.what = what;
            this.id = id;
            this.value = value;
            this.thread = Thread.currentThread().getName();
            this.monitorHeld = Thread.holdsLock(Statjni.getCallbacks());
        }
    }

    static final LinkedBlockingQueue<Call> calls = new LinkedBlockingQueue<>();

    static final class Recorder implements StatprotoCallbacks.Listener {
        public void nativeCallbackSetConnected(byte[] id) { calls.add(new Call("up", id, "")); }
        public void nativeCallbackUnSetConnected(byte[] id) { calls.add(new Call("down", id, "")); }
        public void nativeCallbackParamSignature(byte[] id, byte[] s) { calls.add(new Call("signature", id, Check.hex(s))); }
        public void nativeCallbackEventListChanged(byte[] id, int[] e) { calls.add(new Call("events", id, Arrays.toString(e))); }
        public void nativeCallbackPowerStateListChanged(byte[] id, int[] p) { calls.add(new Call("power", id, Arrays.toString(p))); }
        public void nativeCallbackSystemStatusChanged(byte[] id, String t) { calls.add(new Call("text", id, String.valueOf(t))); }
        public void handleNativeException(String text, String module, byte[] id) {
            calls.add(new Call("error", id, module + ": " + text));
        }
        public void handleNativeGenericException(Exception e) { calls.add(new Call("generic", null, e.getMessage())); }
    }

    static byte[] id(int seed) {
        byte[] b = new byte[16];
        for (int i = 0; i < 16; i++) b[i] = (byte) (seed + i);
        return b;
    }

    static Call next() throws InterruptedException {
        Call c = calls.poll(Check.slackMillis(10000), TimeUnit.MILLISECONDS);
        if (c == null) Check.fail("no callback within the time-out");
        return c;
    }

    static void expect(String what, byte[] id, String value) throws InterruptedException {
        Call c = next();
        if (c == null) return;
        Check.equal(what + " " + value, c.what + " " + c.value, "callback");
        Check.bytes(id, c.id, what + ": remote id");
        Check.equal("Statjni", c.thread, what + ": on the dispatcher thread");
        Check.isTrue(c.monitorHeld == !what.equals("error"),
                "the monitor is held for callbacks, not for error reports (" + what + ")");
    }

    /**
     * The id leaves the maps before the library is told, so the down the library sends during its
     * unregister call (the fake then pauses) is an orphan: the empty id, every time.
     */
    static void expectUnregistered() throws InterruptedException {
        Call c = next();
        if (c == null) return;
        Check.equal("down", c.what, "callback after unregistering");
        Check.equal(0L, (long) c.id.length, "the unregistration's down carries the empty id, was "
                + Check.hex(c.id));
    }

    public static void main(String[] args) throws Exception {
        final byte[] a = id(0x10);
        Statjni.load();
        Statjni.getCallbacks().setListener(new Recorder());

        Check.test("natives before registration call nothing", () -> {
            Check.isTrue(!Statjni.requestSignature(a), "signature request of an unregistered id");
            Check.isTrue(!Statjni.requestNotifications(a), "notification request of an unregistered id");
            Check.isTrue(!Statjni.unregisterDevice(a), "unregistering an unregistered id");
            Check.isTrue(calls.poll(300, TimeUnit.MILLISECONDS) == null, "no callback");
        });

        Check.test("malformed ids", () -> {
            for (int size : new int[] {0, 15, 17}) {
                byte[] bad = new byte[size];
                Arrays.fill(bad, (byte) 0x3C);
                WrapperException e = Check.throwsOf(WrapperException.class, () -> Statjni.registerDevice(bad),
                        size + " bytes");
                if (e == null) continue;
                Check.equal("Invalid remote id size", e.getMessage(), size + " bytes: text");
                Check.equal("Statjni", e.getModule(), size + " bytes: module");
                Check.bytes(bad, e.getRemoteId(), size + " bytes: the bytes received");
            }
            NullPointerException npe = Check.throwsOf(NullPointerException.class,
                    () -> Statjni.requestSignature(null), "null id");
            if (npe != null) Check.equal("remoteId", npe.getMessage(), "the argument is named");
        });

        Check.test("no handle from the library is false and stores nothing", () -> {
            byte[] refused = id(0xEE);
            Check.isTrue(!Statjni.registerDevice(refused), "register without a handle");
            Check.isTrue(!Statjni.requestSignature(refused), "nothing stored");
        });

        Check.test("every event kind, the malformed ones reported, the next one still delivered", () -> {
            Check.isTrue(Statjni.registerDevice(a), "register");
            expect("up", a, "");
            Check.isTrue(Statjni.requestSignature(a), "signature request");
            expect("error", a, "Statjni: Wrong packet size from remote.");
            expect("error", a, "Statjni: Unknown event from remote device.");
            expect("error", a, "Statjni: Wrong packet size from remote.");
            expect("signature", a, "000102030405060708090A0B0C0D0E0F");
            expect("events", a, "[]");
            expect("power", a, "[0, 1, 65535]");
            expect("events", a, "[]");  // a list record of the wrong length
            expect("text", a, "fake \u00e9 \ufffd end");
            expect("text", a, "null");  // a text record of the wrong length
            expect("up", a, "");
            expect("power", a, "[0, 1, 65535, 7, 8, 9, 10, 11]");
        });

        Check.test("the library's answer to a notification request", () -> {
            Check.isTrue(Statjni.requestNotifications(a), "accepted");
            byte[] refusing = id(0x20);
            refusing[1] = (byte) 0xEE;
            Check.isTrue(Statjni.registerDevice(refusing), "register");
            expect("up", refusing, "");
            Check.isTrue(!Statjni.requestNotifications(refusing), "refused by the library");
            Check.isTrue(Statjni.unregisterDevice(refusing), "unregister");
            expectUnregistered();
        });

        Check.test("unregistering once, then the id is unknown", () -> {
            Check.isTrue(Statjni.unregisterDevice(a), "unregister");
            expectUnregistered();
            Check.isTrue(!Statjni.unregisterDevice(a), "a second unregister");
            Check.isTrue(!Statjni.requestSignature(a), "request after unregister");
            Check.isTrue(calls.poll(300, TimeUnit.MILLISECONDS) == null, "nothing more");
        });

        System.exit(Check.finish());
    }
}
