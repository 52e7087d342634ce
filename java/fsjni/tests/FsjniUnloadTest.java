import java.io.File;
import java.lang.reflect.InvocationTargetException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import vlntest.Check;

/**
 * The file server binding in a class loader of its own, used once and dropped: once the loader is collected the
 * unload ends the library's operations (one more cleanup in the fake library's log, args[0]) and the dispatcher
 * thread ends.
 */
public final class FsjniUnloadTest {
    static long cleanups(Path log) throws Exception {
        if (!Files.exists(log)) return 0;
        return Files.readAllLines(log, StandardCharsets.US_ASCII).stream().filter("cleanup"::equals).count();
    }

    // Everything of the loader stays inside this method.
    static void useAndDrop() throws Exception {
        List<URL> urls = new ArrayList<>();
        for (String entry : System.getProperty("java.class.path").split(File.pathSeparator))
            urls.add(new File(entry).toURI().toURL());
        URLClassLoader loader = new URLClassLoader(urls.toArray(new URL[0]), ClassLoader.getPlatformClassLoader());
        Class<?> natives = loader.loadClass("eu.veltrano.zamo.DeviceCommunication.provider.Fsjni");
        Check.isTrue(natives.getClassLoader() == loader, "the binding's classes come from the dropped loader");
        natives.getMethod("load").invoke(null);
        Check.isTrue(Check.threadAlive("Fsjni"), "dispatcher thread started");
        try {
            Object started = natives.getMethod("getFileListFromRemote", byte[].class, String.class, String.class)
                    .invoke(null, new byte[16], "root", "");
            Check.equal(Boolean.TRUE, started, "a listing started");
        } catch (InvocationTargetException e) {
            throw (Exception) e.getCause();
        }
        loader.close();
    }

    public static void main(String[] args) throws Exception {
        Path log = Path.of(args[0]);
        Files.deleteIfExists(log);
        Check.test("dropped class loader", () -> {
            useAndDrop();
            Check.equal(1L, cleanups(log), "the native's own cleanup before it started the listing");
            long deadline = System.nanoTime() + Check.slackMillis(10000) * 1_000_000L;
            while (System.nanoTime() < deadline && (Check.threadAlive("Fsjni") || cleanups(log) < 2)) {
                System.gc();
                Thread.sleep(100);
            }
            Check.equal(2L, cleanups(log), "the unload ended the library's operations once");
            Check.isTrue(!Check.threadAlive("Fsjni"), "the dispatcher thread ended");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
