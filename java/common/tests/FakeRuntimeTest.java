import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import vlntest.Check;
import vlntest.FakeCallbacks;
import vlntest.Fakejni;

/** The runtime through the fake binding: registry, native skeleton, error bridge, texts and the dispatcher. */
public final class FakeRuntimeTest {
    static final class Delivery {
        final String kind;
        final byte[] id;
        final int type;
        final String payload;
        final String thread;
        final boolean daemon;
        final boolean monitorHeld;

        Delivery(String kind, byte[] id, int type, String payload) {
            this.kind = kind;
            this.id = id;
            this.type = type;
            this.payload = payload;
            Thread t = Thread.currentThread();
            this.thread = t.getName();
            this.daemon = t.isDaemon();
            this.monitorHeld = Thread.holdsLock(Fakejni.getCallbacks());
        }
    }

    static final LinkedBlockingQueue<Delivery> deliveries = new LinkedBlockingQueue<>();
    static volatile CountDownLatch gate;

    static byte[] id(int seed) {
        byte[] b = new byte[16];
        for (int i = 0; i < 16; i++) b[i] = (byte) (seed + i);
        return b;
    }

    static byte[] utf8(String s) {
        return s.getBytes(StandardCharsets.UTF_8);
    }

    static Delivery next() throws InterruptedException {
        Delivery d = deliveries.poll(Check.slackMillis(10000), TimeUnit.MILLISECONDS);
        if (d == null) Check.fail("no delivery within the time-out");
        return d;
    }

    static String describe(String kind) {
        return "Exception in module Fakejni\n\tTrying to access remote device 000102030405060708090A0B0C0D0E0F\n"
                + "\tException kind : " + kind + "\n";
    }

    public static void main(String[] args) throws Exception {
        final byte[] a = id(0x10);
        final byte[] never = id(0x70);

        Check.test("load and one library registration per id", () -> {
            Fakejni.load();
            Check.isTrue(Fakejni.getCallbacks() != null, "the binding made its callbacks object");
            Check.isTrue(Fakejni.registerRemote(a), "first registration");
            Check.isTrue(Fakejni.registerRemote(a), "second registration of the same id");
            Check.equal(1, Fakejni.libraryRegistrations(a), "library registrations of the id");
        });

        Check.test("native skeleton", () -> {
            for (int size : new int[] {0, 15, 17}) {
                byte[] bad = new byte[size];
                for (int i = 0; i < size; i++) bad[i] = (byte) (0xA0 + i);
                WrapperException e = Check.throwsOf(WrapperException.class, () -> Fakejni.query(bad), size + " bytes");
                if (e == null) continue;
                Check.equal("Invalid remote id size", e.getMessage(), size + " bytes: text");
                Check.equal("Fakejni", e.getModule(), size + " bytes: module");
                Check.bytes(bad, e.getRemoteId(), size + " bytes: the bytes received");
            }
            NullPointerException npe = Check.throwsOf(NullPointerException.class, () -> Fakejni.query(null), "null id");
            if (npe != null) Check.equal("remoteId", npe.getMessage(), "the argument is named");
            Check.equal(-1, Fakejni.query(never), "an id never registered: failure value, no exception");
            Check.isTrue(Fakejni.query(a) >= 1, "a registered id reaches the library with its handle");
            Check.throwsOf(NullPointerException.class, () -> Fakejni.emit(a, 1, null), "null payload");
        });

        Check.test("native failures become Java exceptions", () -> {
            Object[][] cases = {
                {0, describe("std::bad_alloc")},
                {1, describe("boom")},
                {2, describe("unknown")},
            };
            for (Object[] c : cases) {
                int kind = (Integer) c[0];
                Exception e = Check.throwsOf(Exception.class, () -> Fakejni.fail(kind), "kind " + kind);
                if (e == null) continue;
                Check.equal(Exception.class, e.getClass(), "kind " + kind + ": plain java.lang.Exception");
                Check.equal(c[1], e.getMessage(), "kind " + kind + ": text");
            }
            WrapperException w = Check.throwsOf(WrapperException.class, () -> Fakejni.fail(3), "wrapper failure");
            if (w != null) {
                Check.equal("fake failure", w.getMessage(), "text");
                Check.bytes(Check.unhex("000102030405060708090A0B0C0D0E0F"), w.getRemoteId(), "id");
            }
            Exception plain = Check.throwsOf(Exception.class, () -> Fakejni.fail(5), "no device");
            if (plain != null)
                Check.equal("Exception in module Fakejni\n\tException kind : boom\n", plain.getMessage(),
                        "no device line without a device");
            WrapperException zero = Check.throwsOf(WrapperException.class, () -> Fakejni.fail(6), "no device");
            if (zero != null) Check.bytes(new byte[16], zero.getRemoteId(), "16 zero bytes without a device");
            Exception big = Check.throwsOf(Exception.class, () -> Fakejni.fail(4), "array over INT32_MAX");
            if (big != null) {
                Check.equal(Exception.class, big.getClass(), "refused with java.lang.Exception");
                Check.isTrue(big.getMessage().contains("INT32_MAX"), "says why: " + big.getMessage());
            }
        });

        Check.test("texts are standard UTF-8 both ways", () -> {
            Object[][] decode = {
                {"616263", "abc"},
                {"5A6FC3AB20F09F9880", "Zo\u00eb \ud83d\ude00"},
                {"610062", "a\u0000b"},
                {"FF", "\ufffd"},
                {"C0AF", "\ufffd\ufffd"},
                {"E080", "\ufffd\ufffd"},
                {"E282", "\ufffd"},
                {"F09F98", "\ufffd"},
                {"F09F9841", "\ufffdA"},
                {"EDA080", "\ufffd\ufffd\ufffd"},
                {"F4908080", "\ufffd\ufffd\ufffd\ufffd"},
                {"C0808080", "\ufffd\ufffd\ufffd\ufffd"},
            };
            for (Object[] c : decode)
                Check.equal(c[1], Fakejni.decodeUtf8(Check.unhex((String) c[0])), "decode " + c[0]);
            Object[][] encode = {
                {"Zo\u00eb \ud83d\ude00", -1, "5A6FC3AB20F09F9880"},
                {"a\u00eb", 2, "61"},
                {"a\u00eb", 3, "61C3AB"},
                {"\ud83d\ude00", 3, ""},
                {"\ud800x", -1, "EFBFBD78"},
                {"a\u0000b", -1, "610062"},
            };
            for (Object[] c : encode)
                Check.equal(c[2], Check.hex(Fakejni.encodeUtf8((String) c[0], (Integer) c[1])),
                        "encode " + c[0] + " in " + c[1]);
            byte[] all = new byte[256];
            for (int i = 0; i < 256; i++) all[i] = (byte) i;
            String latin = Fakejni.decodeLatin1(all);
            Check.equal(256, latin.length(), "one character per byte");
            boolean same = true;
            for (int i = 0; i < 256; i++) same &= latin.charAt(i) == i;
            Check.isTrue(same, "each byte is the character of its value");
            Check.bytes(all, Fakejni.encodeLatin1(latin), "and back byte for byte");
            Check.equal("3F", Check.hex(Fakejni.encodeLatin1("\u20ac")), "no byte for U+20AC");
        });

        FakeCallbacks.Listener listener = new FakeCallbacks.Listener() {
            @Override
            public void onEvent(byte[] remoteId, int type, byte[] payload) {
                String text = new String(payload, StandardCharsets.UTF_8);
                deliveries.add(new Delivery("event", remoteId, type, text));
                CountDownLatch g = gate;
                if (text.endsWith("gate") && g != null) {
                    try {
                        g.await(Check.slackMillis(30000), TimeUnit.MILLISECONDS);
                    } catch (InterruptedException e) {
                        Thread.currentThread().interrupt();
                    }
                }
                if (text.equals("throw")) throw new IllegalStateException("a listener that throws");
            }

            @Override
            public void handleNativeException(String text, String module, byte[] remoteId) {
                deliveries.add(new Delivery("native", remoteId, 0, text + "|" + module));
            }

            @Override
            public void handleNativeGenericException(Exception e) {
                deliveries.add(new Delivery("generic", new byte[0], 0, e.getClass().getName() + "|" + e.getMessage()));
            }
        };

        Check.test("callbacks on the dispatcher thread", () -> {
            Fakejni.getCallbacks().setListener(listener);
            Check.isTrue(Fakejni.emit(a, 7, utf8("first")), "emitted");
            Delivery d = next();
            if (d == null) return;
            Check.equal("event", d.kind, "kind");
            Check.bytes(a, d.id, "the registered id");
            Check.equal(7, d.type, "type");
            Check.equal("first", d.payload, "payload");
            Check.equal("Fakejni", d.thread, "on the thread named after the module");
            Check.isTrue(d.daemon, "a daemon thread");
            Check.isTrue(d.monitorHeld, "holding the callbacks object's monitor");
        });

        Check.test("a failing callback or switch does not stop later events", () -> {
            Fakejni.emit(a, 1, utf8("throw"));
            Fakejni.emit(a, 100, utf8("x"));
            Fakejni.emit(a, 101, utf8("x"));
            Fakejni.emit(a, 102, utf8("x"));
            Fakejni.emit(a, 2, utf8("after"));
            Delivery thrown = next();
            Delivery wrapper = next();
            Delivery generic = next();
            Delivery unknown = next();
            Delivery after = next();
            if (after == null) return;
            Check.equal("throw", thrown.payload, "the throwing callback was called");
            Check.equal("native", wrapper.kind, "switch text -> handleNativeException");
            Check.equal("fake switch failure|Fakejni", wrapper.payload, "its text and module");
            Check.bytes(a, wrapper.id, "its id");
            Check.isTrue(!wrapper.monitorHeld && !generic.monitorHeld, "error reports come without the monitor");
            Check.equal("Fakejni", generic.thread, "on the dispatcher thread too");
            String hexA = Check.hex(a);
            Check.equal("generic", generic.kind, "std::exception -> handleNativeGenericException");
            Check.equal("java.lang.Exception|Exception in module Fakejni\n\tTrying to access remote device " + hexA
                    + "\n\tException kind : boom\n", generic.payload, "described");
            Check.equal("java.lang.Exception|Exception in module Fakejni\n\tTrying to access remote device " + hexA
                    + "\n\tException kind : unknown\n", unknown.payload, "a non-standard exception");
            Check.equal("after", after.payload, "the next event is still delivered");
        });

        Check.test("events of an unregistered handle carry the empty id, never the next device's", () -> {
            byte[] c = id(0x30);
            byte[] d = id(0x50);
            Check.isTrue(Fakejni.registerRemote(c), "register c");
            long handleOfC = Fakejni.handleOf(c);
            gate = new CountDownLatch(1);
            Fakejni.emit(c, 1, utf8("c-gate"));
            Delivery held = next();
            Fakejni.emit(c, 2, utf8("c-queued-1"));
            Fakejni.emit(c, 3, utf8("c-queued-2"));
            Check.isTrue(Fakejni.unregisterRemote(c), "unregister c");
            Check.isTrue(Fakejni.registerRemote(d), "register d");
            Check.equal(handleOfC, Fakejni.handleOf(d), "the library gave d the handle c had");
            Fakejni.emit(d, 4, utf8("d-1"));
            gate.countDown();
            List<Delivery> got = new ArrayList<>();
            if (held != null) got.add(held);
            while (got.size() < 5) {
                Delivery x = next();
                if (x == null) break;
                got.add(x);
            }
            Check.equal(5, got.size(), "held, two queued, the unregister event, d's event");
            for (Delivery x : got) {
                if (x.payload.equals("c-gate")) Check.bytes(c, x.id, "delivered before the unregistration");
                else if (x.payload.startsWith("c-") || x.type == 0) Check.bytes(new byte[0], x.id, x.payload + x.type);
                else if (x.payload.equals("d-1")) Check.bytes(d, x.id, "d's own event");
                else Check.fail("unexpected delivery " + x.payload);
            }
            Check.isTrue(Fakejni.unregisterRemote(d), "unregister d");
            Delivery last = next();
            if (last != null) Check.equal(0, last.type, "d's unregister event");
        });

        Check.test("unregistration", () -> {
            Check.isTrue(Fakejni.unregisterRemote(a), "registered id");
            Check.isTrue(!Fakejni.unregisterRemote(a), "not registered any more");
            Check.equal(-1, Fakejni.query(a), "the library is not called for it");
            Delivery d = next();
            if (d != null) Check.equal(0, d.type, "the library's unregister event");
            Check.isTrue(!Fakejni.unregisterRemote(never), "never registered");
        });

        Check.test("natives and callbacks from several threads", () -> {
            // Each thread registers its own id, emits events that name it, unregisters, over and over; the
            // library reuses the freed handles among the threads all the time.
            final int threads = 4;
            final int rounds = 200;
            final List<String> wrong = java.util.Collections.synchronizedList(new ArrayList<>());
            final java.util.concurrent.atomic.AtomicInteger seen = new java.util.concurrent.atomic.AtomicInteger();
            Fakejni.getCallbacks().setListener(new FakeCallbacks.Listener() {
                @Override
                public void onEvent(byte[] remoteId, int type, byte[] payload) {
                    seen.incrementAndGet();
                    if (type == 0 || remoteId.length == 0) return;
                    String owner = new String(payload, StandardCharsets.UTF_8);
                    if (!owner.equals(Check.hex(remoteId))) wrong.add(owner + " as " + Check.hex(remoteId));
                }

                @Override
                public void handleNativeException(String text, String module, byte[] remoteId) {
                    wrong.add("native exception " + text);
                }

                @Override
                public void handleNativeGenericException(Exception e) {
                    wrong.add("generic exception " + e.getMessage());
                }
            });
            List<Thread> workers = new ArrayList<>();
            final List<Throwable> failures = java.util.Collections.synchronizedList(new ArrayList<>());
            for (int t = 0; t < threads; t++) {
                final byte[] mine = id(0x80 + 0x10 * t);
                final byte[] name = utf8(Check.hex(mine));
                Thread w = new Thread(() -> {
                    try {
                        for (int r = 0; r < rounds; r++) {
                            if (!Fakejni.registerRemote(mine)) throw new IllegalStateException("register failed");
                            Fakejni.emit(mine, 9, name);
                            Fakejni.emit(mine, 9, name);
                            if (!Fakejni.unregisterRemote(mine)) throw new IllegalStateException("unregister");
                        }
                    } catch (Throwable x) {
                        failures.add(x);
                    }
                });
                workers.add(w);
                w.start();
            }
            for (Thread w : workers) {
                w.join(Check.slackMillis(60000));
                Check.isTrue(!w.isAlive(), "a worker is stuck (deadlock?)");
            }
            Check.equal(List.of(), failures, "worker failures");
            long deadline = System.nanoTime() + Check.slackMillis(20000) * 1_000_000L;
            int expected = threads * rounds * 3;  // two emitted and one unregister event per round
            while (seen.get() < expected && System.nanoTime() < deadline) Thread.sleep(10);
            Check.equal(expected, seen.get(), "every event delivered once");
            Check.equal(List.of(), wrong, "events under another device's id");
            Fakejni.getCallbacks().setListener(listener);
        });

        Check.test("registrations left open", () -> {
            // main returns with these registered: the daemon dispatcher must not keep the JVM alive.
            Check.isTrue(Fakejni.registerRemote(id(0x60)), "register");
            Check.isTrue(Fakejni.registerRemote(id(0x61)), "register");
        });

        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
