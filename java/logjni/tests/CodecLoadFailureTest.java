import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.Scopecodecjni;
import eu.veltrano.zamo.DeviceCommunication.provider.Logjni;
import eu.veltrano.zamo.DeviceCommunication.provider.Odjni;
import java.nio.file.Path;
import vlntest.Check;

/**
 * Odjni's wrapped library lacks its exports, Scopecodecjni's is missing: both loads throw "Error: target dll load
 * failed", twice, and the natives stay unbound; Logjni still loads and works in the same JVM, which then ends
 * normally when main returns. Argument: the log fixture directory.
 */
public final class CodecLoadFailureTest {
    public static void main(String[] args) throws Exception {
        Path fixtures = Path.of(args[0]);
        for (int attempt = 1; attempt <= 2; attempt++) {
            Check.test("Odjni load, attempt " + attempt, () -> CodecChecks.wrapper("Error: target dll load failed",
                    "Odjni", CodecChecks.NO_DEVICE, Odjni::load, "load()"));
            Check.test("Scopecodecjni load, attempt " + attempt, () -> CodecChecks.wrapper(
                    "Error: target dll load failed", "Scopecodecjni", CodecChecks.NO_DEVICE, Scopecodecjni::load,
                    "load()"));
        }
        Check.test("natives stay unbound", () -> {
            Check.throwsOf(UnsatisfiedLinkError.class, () -> Odjni.decodeXMLData(new byte[0]), "Odjni");
            Check.throwsOf(UnsatisfiedLinkError.class,
                    () -> Scopecodecjni.decodeByteBuffer(new byte[16], new byte[0]), "Scopecodecjni");
        });
        Check.test("another binding loads and converts", () -> {
            Logjni.load();
            Check.bytes(CodecChecks.read(fixtures.resolve("basic.xml")),
                    Logjni.getXmlLog(new String[] {fixtures.resolve("basic.bin").toString()}), "basic");
        });
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
