import eu.veltrano.zamo.DeviceCommunication.provider.Parjni;
import vlntest.Check;

/**
 * The parameter binding over a stand-in codec (see fake_parcodec.cpp): every step's failure throws, with the
 * codec's text or "Exception error" when it left none (never an empty String), and every byte of the document
 * becomes the character of its value.
 */
public final class ParjniFakeTest {
    private static final String DECLARATION =
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>\n";

    public static void main(String[] args) throws Exception {
        Parjni.load();
        byte[] def = CodecChecks.ascii("definition");

        Check.test("a failing step throws its text, or Exception error without one", () -> {
            String[][] cases = {
                {"silent-fail", "file", "Exception error"},
                {"loud-fail", "file", "fake failure"},
                {"definition", "silent-fail", "Exception error"},
                {"definition", "loud-fail", "fake failure"},
                {"definition", "render-fails", "Exception error"},
                {"definition", "render-null", "Exception error"},
            };
            for (String[] c : cases) {
                CodecChecks.wrapper(c[2], "Parjni", CodecChecks.NO_DEVICE,
                        () -> Parjni.getXmlDecodedData(CodecChecks.ascii(c[0]), CodecChecks.ascii(c[1])),
                        c[0] + " / " + c[1]);
            }
        });
        Check.test("every byte value maps to the character of that value", () -> {
            byte[] all = new byte[255];
            StringBuilder expected = new StringBuilder(DECLARATION);
            for (int i = 1; i <= 255; i++) {
                all[i - 1] = (byte) i;
                expected.append((char) i);
            }
            Check.equal(expected.toString(), Parjni.getXmlDecodedData(def, all), "bytes 1 to 255");
        });
        Check.test("a document past a zero is cut there", () -> {
            byte[] withZero = {'a', 0, 'b'};
            Check.equal(DECLARATION + "a", Parjni.getXmlDecodedData(def, withZero), "zero in the document");
        });

        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
