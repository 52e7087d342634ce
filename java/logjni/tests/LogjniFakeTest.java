import eu.veltrano.zamo.DeviceCommunication.provider.Logjni;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import vlntest.Check;

/**
 * The log binding over a stand-in codec (see fake_logcodec.cpp): a step that fails without text must still fail,
 * and a rendering that hands out nothing is no empty result.
 */
public final class LogjniFakeTest {
    public static void main(String[] args) throws Exception {
        Path tmp = Files.createTempDirectory("logjni-fake");
        Logjni.load();
        Path ok = write(tmp, "ok.bin", "entries");

        Check.test("the stand-in is the codec in use", () -> {
            Check.equal("<fake>entries</fake>",
                    new String(Logjni.getXmlLog(new String[] {ok.toString()}), StandardCharsets.ISO_8859_1), "xml");
        });
        Check.test("a step that fails without text throws Exception error", () -> {
            for (String image : new String[] {"silent-fail", "render-fails", "render-null"}) {
                Path file = write(tmp, image + ".bin", image);
                CodecChecks.wrapper("Exception error", "Logjni", CodecChecks.NO_DEVICE,
                        () -> Logjni.getXmlLog(new String[] {ok.toString(), file.toString()}), image);
            }
        });

        LogjniTest.deleteTree(tmp);
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }

    static Path write(Path dir, String name, String content) throws Exception {
        return Files.write(dir.resolve(name), content.getBytes(StandardCharsets.ISO_8859_1));
    }
}
