import java.io.File;
import java.lang.reflect.InvocationTargetException;
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
 * A callback binding over its fake library, loaded by a class loader that is then dropped with two ids
 * registered: once collected (nothing of the binding may hold it strongly) the JVM unloads the binding, which
 * unregisters each id once and ends its dispatcher thread. Arguments: the natives class, its register method,
 * the module (the dispatcher thread's name), the fake's log.
 */
public final class BindingUnloadTest {
    static final String A = "101112131415161718191A1B1C1D1E1F";
    static final String B = "202122232425262728292A2B2C2D2E2F";

    static void useAndDrop(String className, String register, String module) throws Exception {
        List<URL> urls = new ArrayList<>();
        for (String entry : System.getProperty("java.class.path").split(File.pathSeparator))
            urls.add(new File(entry).toURI().toURL());
        URLClassLoader loader = new URLClassLoader(urls.toArray(new URL[0]), ClassLoader.getPlatformClassLoader());
        Class<?> natives = loader.loadClass(className);
        Check.isTrue(natives.getClassLoader() == loader, "the binding's classes come from the dropped loader");
        natives.getMethod("load").invoke(null);
        Check.isTrue(Check.threadAlive(module), "dispatcher thread started");
        try {
            for (String id : new String[] {A, A, B})
                Check.equal(Boolean.TRUE, natives.getMethod(register, byte[].class).invoke(null, (Object) Check.unhex(id)),
                        "register " + id);
        } catch (InvocationTargetException e) {
            throw (Exception) e.getCause();
        }
        // Let the up events reach the (listener-less) callbacks object first.
        Thread.sleep(200);
        loader.close();
    }

    public static void main(String[] args) throws Exception {
        Path log = Path.of(args[3]);
        Files.deleteIfExists(log);
        Check.test("dropped class loader", () -> {
            useAndDrop(args[0], args[1], args[2]);
            long deadline = System.nanoTime() + Check.slackMillis(10000) * 1_000_000L;
            List<String> lines = List.of();
            while (System.nanoTime() < deadline) {
                System.gc();
                Thread.sleep(100);
                lines = Files.exists(log) ? Files.readAllLines(log, StandardCharsets.US_ASCII) : List.of();
                if (Collections.frequency(lines, "unregister " + A) + Collections.frequency(lines, "unregister " + B) >= 2
                        && !Check.threadAlive(args[2]))
                    break;
            }
            for (String id : new String[] {A, B}) {
                Check.equal(1L, (long) Collections.frequency(lines, "register " + id), id + " registered once");
                Check.equal(1L, (long) Collections.frequency(lines, "unregister " + id), id + " unregistered once");
            }
            Check.isTrue(!Check.threadAlive(args[2]), "the dispatcher thread ended");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
