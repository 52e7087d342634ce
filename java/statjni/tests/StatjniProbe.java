import eu.veltrano.zamo.DeviceCommunication.provider.StatprotoCallbacks;
import eu.veltrano.zamo.DeviceCommunication.provider.Statjni;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.lang.reflect.InvocationTargetException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import vlntest.Check;

/**
 * Drives Statjni for a road test that owns the devices, one command a line on standard input (ids as hex):
 * "reg ID", "unreg ID", "sig ID", "notif ID" (each answers "@ok CMD RESULT" or "@exc CMD CLASS MODULE IDHEX
 * TEXT"), "flip A B N" (register A, unregister, register B at once, N times, with a slow listener; then "@flip calls=BOOL
 * upsOfB=K", K counting ups and signatures that name B), "loader A B"
 * (the provider classes in a class loader of their own, A and B registered there: "@loaded"), "drop" (that
 * loader dropped and collected: "@dropped dispatcher=ended|alive"), "quit" (main returns with whatever is still
 * registered). Callbacks print "@up ID", "@down ID", "@sig ID HEX", "@events ID [..]", "@power ID [..]", "@text
 * ID CODEPOINTS HEXUTF8|null", "@error MODULE ID TEXT", and "@violation ..." when one comes off the dispatcher
 * thread or without the callbacks object's monitor.
 */
public final class StatjniProbe {
    static final AtomicInteger upsOfB = new AtomicInteger();
    static volatile String watchedB = "";
    static URLClassLoader loader;

    static volatile boolean slow;

    // A slow application: A's events are still queued when B takes A's freed handle.
    static void slowDown() {
        if (!slow) return;
        try {
            Thread.sleep(3);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    static synchronized void print(String line) {
        System.out.print(line + "\n");
        System.out.flush();
    }

    static void check(String what) {
        Thread t = Thread.currentThread();
        if (!t.getName().equals("Statjni") || !t.isDaemon()) print("@violation " + what + " on " + t.getName());
        if (!Thread.holdsLock(Statjni.getCallbacks())) print("@violation " + what + " without the monitor");
    }

    static final class Printer implements StatprotoCallbacks.Listener {
        public void nativeCallbackSetConnected(byte[] id) {
            check("up");
            if (Check.hex(id).equals(watchedB)) upsOfB.incrementAndGet();
            print("@up " + Check.hex(id));
            slowDown();
        }
        public void nativeCallbackUnSetConnected(byte[] id) { check("down"); print("@down " + Check.hex(id)); }
        public void nativeCallbackParamSignature(byte[] id, byte[] s) {
            check("sig");
            if (Check.hex(id).equals(watchedB)) upsOfB.incrementAndGet();
            slowDown();
            print("@sig " + Check.hex(id) + " " + Check.hex(s));
        }
        public void nativeCallbackEventListChanged(byte[] id, int[] e) {
            check("events");
            print("@events " + Check.hex(id) + " " + Arrays.toString(e).replace(" ", ""));
        }
        public void nativeCallbackPowerStateListChanged(byte[] id, int[] p) {
            check("power");
            print("@power " + Check.hex(id) + " " + Arrays.toString(p).replace(" ", ""));
        }
        public void nativeCallbackSystemStatusChanged(byte[] id, String t) {
            check("text");
            print("@text " + Check.hex(id) + " " + (t == null ? "0 null"
                    : t.codePointCount(0, t.length()) + " " + Check.hex(t.getBytes(StandardCharsets.UTF_8))));
        }
        public void handleNativeException(String text, String module, byte[] id) {
            print("@error " + module + " " + Check.hex(id) + " " + text);
        }
        public void handleNativeGenericException(Exception e) { print("@generic " + e.getMessage()); }
    }

    interface Native {
        boolean run(byte[] id) throws WrapperException;
    }

    static void answer(String cmd, Native n, byte[] id) {
        try {
            print("@ok " + cmd + " " + n.run(id));
        } catch (WrapperException e) {
            print("@exc " + cmd + " WrapperException " + e.getModule() + " " + Check.hex(e.getRemoteId()) + " "
                    + e.getText());
        }
    }

    static Object invoke(Class<?> c, String name, byte[] id) throws Exception {
        try {
            return c.getMethod(name, byte[].class).invoke(null, (Object) id);
        } catch (InvocationTargetException e) {
            throw (Exception) e.getCause();
        }
    }

    // Everything of the loader stays inside here and in `loader`, which drop() clears.
    static void loadApart(byte[] a, byte[] b) throws Exception {
        List<URL> urls = new ArrayList<>();
        for (String entry : System.getProperty("java.class.path").split(File.pathSeparator))
            urls.add(new File(entry).toURI().toURL());
        loader = new URLClassLoader(urls.toArray(new URL[0]), ClassLoader.getPlatformClassLoader());
        Class<?> natives = loader.loadClass("eu.veltrano.zamo.DeviceCommunication.provider.Statjni");
        natives.getMethod("load").invoke(null);
        print("@ok reg " + invoke(natives, "registerDevice", a));
        print("@ok reg " + invoke(natives, "registerDevice", b));
        // The device makes its end of a channel at the first request: ask until the channels are up.
        long deadline = System.nanoTime() + Check.slackMillis(30000) * 1_000_000L;
        for (byte[] id : new byte[][] {a, b}) {
            while (!Boolean.TRUE.equals(invoke(natives, "requestSignature", id)) && System.nanoTime() < deadline)
                Thread.sleep(50);
        }
        print("@loaded " + (natives.getClassLoader() == loader));
    }

    static void drop() throws Exception {
        loader.close();
        loader = null;
        long deadline = System.nanoTime() + Check.slackMillis(20000) * 1_000_000L;
        while (System.nanoTime() < deadline && Check.threadAlive("Statjni")) {
            System.gc();
            Thread.sleep(100);
        }
        print("@dropped dispatcher=" + (Check.threadAlive("Statjni") ? "alive" : "ended"));
    }

    public static void main(String[] args) throws Exception {
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        if (args.length == 0 || !args[0].equals("apart")) {
            Statjni.load();
            Statjni.getCallbacks().setListener(new Printer());
        }
        print("@ready");
        String line;
        while ((line = in.readLine()) != null) {
            String[] w = line.trim().split(" ");
            switch (w[0]) {
                case "reg": answer("reg", Statjni::registerDevice, Check.unhex(w[1])); break;
                case "unreg": answer("unreg", Statjni::unregisterDevice, Check.unhex(w[1])); break;
                case "sig": answer("sig", Statjni::requestSignature, Check.unhex(w[1])); break;
                case "notif": answer("notif", Statjni::requestNotifications, Check.unhex(w[1])); break;
                case "flip": {
                    byte[] a = Check.unhex(w[1]);
                    byte[] b = Check.unhex(w[2]);
                    watchedB = w[2];
                    int n = Integer.parseInt(w[3]);
                    boolean all = true;
                    slow = true;
                    for (int i = 0; i < n; i++) {
                        all &= Statjni.registerDevice(a);
                        // Every other round A is connected first, so its up and signature are on their way.
                        long until = System.nanoTime() + Check.slackMillis(2000) * 1_000_000L;
                        if (i % 2 == 0) {
                            while (!Statjni.requestSignature(a) && System.nanoTime() < until) Thread.sleep(1);
                        }
                        all &= Statjni.unregisterDevice(a);
                        all &= Statjni.registerDevice(b);
                        Thread.sleep(5);
                        all &= Statjni.unregisterDevice(b);
                    }
                    slow = false;
                    Thread.sleep(Check.slackMillis(2000));  // late events of A would come by now
                    print("@flip calls=" + all + " upsOfB=" + upsOfB.get());
                    break;
                }
                case "loader": loadApart(Check.unhex(w[1]), Check.unhex(w[2])); break;
                case "drop": drop(); break;
                case "quit":
                    print("@bye");
                    return;  // registrations stay open: the JVM must end by itself
                default: break;
            }
        }
    }
}
