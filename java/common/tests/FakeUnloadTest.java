import java.io.File;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import vlntest.Check;

/**
 * A class loader holding the provider classes and the fake binding with two registrations is dropped: once it is
 * collected the JVM runs JNI_OnUnload, which unregisters each id exactly once (the fake library's log, args[0],
 * says so) and ends the dispatcher thread.
 */
public final class FakeUnloadTest {
    static final String A = "101112131415161718191A1B1C1D1E1F";
    static final String B = "202122232425262728292A2B2C2D2E2F";

    static Object call(Class<?> c, String name, Object... args) throws Exception {
        Class<?>[] types = new Class<?>[args.length];
        for (int i = 0; i < args.length; i++) types[i] = byte[].class;
        Method m = c.getMethod(name, types);
        try {
            return m.invoke(null, args);
        } catch (InvocationTargetException e) {
            throw (Exception) e.getCause();
        }
    }

    // Everything of the loader stays inside this method, so nothing of it is reachable once it returns.
    static void useAndDrop() throws Exception {
        List<URL> urls = new ArrayList<>();
        for (String entry : System.getProperty("java.class.path").split(File.pathSeparator))
            urls.add(new File(entry).toURI().toURL());
        URLClassLoader loader = new URLClassLoader(urls.toArray(new URL[0]), ClassLoader.getPlatformClassLoader());
        Class<?> natives = loader.loadClass("vlntest.Fakejni");
        Check.isTrue(natives.getClassLoader() == loader, "the binding's classes come from the dropped loader");
        natives.getMethod("load").invoke(null);
        Check.isTrue(Check.threadAlive("Fakejni"), "dispatcher thread started");
        Check.equal(Boolean.TRUE, call(natives, "registerRemote", (Object) Check.unhex(A)), "register a");
        Check.equal(Boolean.TRUE, call(natives, "registerRemote", (Object) Check.unhex(A)), "register a again");
        Check.equal(Boolean.TRUE, call(natives, "registerRemote", (Object) Check.unhex(B)), "register b");
        loader.close();
    }

    static long count(List<String> lines, String line) {
        return Collections.frequency(lines, line);
    }

    public static void main(String[] args) throws Exception {
        Path log = Path.of(args[0]);
        Files.deleteIfExists(log);
        Check.test("dropped class loader", () -> {
            useAndDrop();
            long deadline = System.nanoTime() + Check.slackMillis(10000) * 1_000_000L;
            List<String> lines = List.of();
            while (System.nanoTime() < deadline) {
                System.gc();
                Thread.sleep(100);
                lines = Files.exists(log) ? Files.readAllLines(log, StandardCharsets.US_ASCII) : List.of();
                if (count(lines, "unregister " + A) + count(lines, "unregister " + B) >= 2 && !Check.threadAlive("Fakejni"))
                    break;
            }
            Check.equal(1L, count(lines, "register " + A), "a registered with the library once");
            Check.equal(1L, count(lines, "register " + B), "b registered once");
            Check.equal(1L, count(lines, "unregister " + A), "a unregistered once at unload");
            Check.equal(1L, count(lines, "unregister " + B), "b unregistered once at unload");
            Check.isTrue(!Check.threadAlive("Fakejni"), "the dispatcher thread ended");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
