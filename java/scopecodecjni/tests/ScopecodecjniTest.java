import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.Scopecodecjni;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import vlntest.Check;

/**
 * The scope capture binding over the real decoder and its fixtures (cases.tsv: capture name, result code).
 * Arguments: the fixture directory [--german].
 */
public final class ScopecodecjniTest {
    private static final String MODULE = "Scopecodecjni";
    private static final String[] TEXTS = {
        "Successful",
        "Unsupported API level, upgrade this tool",
        "Unexpected end of file, data missing",
        "Invalid data size",
        "Invalid data header",
        "Trigger point not found",
    };

    public static void main(String[] args) throws Exception {
        Path fixtures = Path.of(args[0]);
        CodecChecks.localeAsAsked(args);
        Scopecodecjni.load();
        byte[] id = Check.unhex("000102030405060708090A0B0C0D0E0F");

        Check.test("every fixture decodes to its XML or fails with its code's text", () -> {
            int decoded = 0;
            int failed = 0;
            for (String line : Files.readAllLines(fixtures.resolve("cases.tsv"), StandardCharsets.UTF_8)) {
                if (line.startsWith("#") || line.isEmpty()) continue;
                String[] cols = line.split("\t");
                byte[] capture = CodecChecks.read(fixtures.resolve(cols[0] + ".bin"));
                int code = Integer.parseInt(cols[1]);
                if (code == 0) {
                    Check.bytes(CodecChecks.read(fixtures.resolve(cols[0] + ".xml")),
                            Scopecodecjni.decodeByteBuffer(id, capture), cols[0]);
                    decoded++;
                } else {
                    CodecChecks.wrapper(TEXTS[code], MODULE, id, () -> Scopecodecjni.decodeByteBuffer(id, capture),
                            cols[0]);
                    failed++;
                }
            }
            Check.isTrue(decoded >= 10 && failed >= 10, "cases read: " + decoded + " decoded, " + failed + " failed");
        });
        Check.test("an empty capture is cut short, with the caller's id", () -> {
            CodecChecks.wrapper("Unexpected end of file, data missing", MODULE, id,
                    () -> Scopecodecjni.decodeByteBuffer(id, new byte[0]), "empty");
        });
        Check.test("an id that is not 16 bytes is refused before decoding", () -> {
            byte[] good = CodecChecks.read(fixtures.resolve("dividers.bin"));
            for (int n : new int[] {0, 15, 17}) {
                byte[] wrong = new byte[n];
                for (int i = 0; i < n; i++) wrong[i] = (byte) (0xA0 + i);
                CodecChecks.wrapper("Invalid remote id size", MODULE, wrong,
                        () -> Scopecodecjni.decodeByteBuffer(wrong, good), n + "-byte id");
            }
        });
        Check.test("null arguments", () -> {
            CodecChecks.nullArgument("remoteId", () -> Scopecodecjni.decodeByteBuffer(null, new byte[0]), "remoteId");
            CodecChecks.nullArgument("capture", () -> Scopecodecjni.decodeByteBuffer(id, null), "capture");
        });

        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
