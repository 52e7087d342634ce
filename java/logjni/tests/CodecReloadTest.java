import java.io.File;
import java.lang.ref.WeakReference;
import java.lang.reflect.InvocationTargetException;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import vlntest.Check;

/**
 * The codec bindings unload with the class loader that loaded them and load again in a new one: each binding is
 * used from a loader that is then dropped; once the JVM has collected it (and run JNI_OnUnload) a second loader
 * loads the same binding file and converts again. Argument: the log fixture directory.
 */
public final class CodecReloadTest {
    static URLClassLoader newLoader() throws Exception {
        List<URL> urls = new ArrayList<>();
        for (String entry : System.getProperty("java.class.path").split(File.pathSeparator))
            urls.add(new File(entry).toURI().toURL());
        return new URLClassLoader(urls.toArray(new URL[0]), ClassLoader.getPlatformClassLoader());
    }

    static Object invoke(Class<?> c, String name, Class<?>[] types, Object... args) throws Exception {
        try {
            return c.getMethod(name, types).invoke(null, args);
        } catch (InvocationTargetException e) {
            throw (Exception) e.getCause();
        }
    }

    /** Loads Logjni and Odjni in `loader` and converts with both; true when both loads succeeded. */
    static boolean useBindings(ClassLoader loader, Path fixtures, String round) throws Exception {
        Class<?> log = loader.loadClass("eu.veltrano.zamo.DeviceCommunication.provider.Logjni");
        Class<?> od = loader.loadClass("eu.veltrano.zamo.DeviceCommunication.provider.Odjni");
        Check.isTrue(log.getClassLoader() == loader, round + ": Logjni from its own loader");
        try {
            invoke(log, "load", new Class<?>[0]);
            invoke(od, "load", new Class<?>[0]);
        } catch (Exception e) {
            // The JVM refuses a binding still held by a loader it has not yet cleaned up.
            if (e.getCause() instanceof UnsatisfiedLinkError) return false;
            throw e;
        }
        byte[] xml = (byte[]) invoke(log, "getXmlLog", new Class<?>[] {String[].class},
                (Object) new String[] {fixtures.resolve("basic.bin").toString()});
        Check.bytes(CodecChecks.read(fixtures.resolve("basic.xml")), xml, round + ": log");
        byte[] file = {1, 0, 0, 0, 0, 0};
        byte[] odXml = (byte[]) invoke(od, "decodeXMLData", new Class<?>[] {byte[].class}, (Object) file);
        Check.bytes(file, (byte[]) invoke(od, "encodeXMLData", new Class<?>[] {byte[].class}, (Object) odXml),
                round + ": object dictionary round trip");
        return true;
    }

    // Nothing of the first loader is reachable once this returns, but the weak reference.
    static WeakReference<ClassLoader> firstRound(Path fixtures) throws Exception {
        URLClassLoader loader = newLoader();
        Check.isTrue(useBindings(loader, fixtures, "first loader"), "first loader loads the bindings");
        loader.close();
        return new WeakReference<>(loader);
    }

    public static void main(String[] args) throws Exception {
        Path fixtures = Path.of(args[0]);
        Check.test("bindings load again after their class loader is collected", () -> {
            WeakReference<ClassLoader> first = firstRound(fixtures);
            long deadline = System.nanoTime() + Check.slackMillis(10000) * 1_000_000L;
            boolean loaded = false;
            while (!loaded && System.nanoTime() < deadline) {
                System.gc();
                Thread.sleep(100);
                if (first.get() != null) continue;
                URLClassLoader second = newLoader();
                loaded = useBindings(second, fixtures, "second loader");
                if (!loaded) second.close();
            }
            Check.isTrue(first.get() == null, "the first loader was collected");
            Check.isTrue(loaded, "the second loader loaded the bindings");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
