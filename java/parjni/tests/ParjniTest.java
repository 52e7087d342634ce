import eu.veltrano.zamo.DeviceCommunication.provider.Parjni;
import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import vlntest.Check;

/** The parameter binding over the real parameter codec and its vectors. Arguments: the vector directory [--german]. */
public final class ParjniTest {
    private static final String MODULE = "Parjni";

    public static void main(String[] args) throws Exception {
        Path vectors = Path.of(args[0]);
        CodecChecks.localeAsAsked(args);
        Parjni.load();
        byte[] definition = CodecChecks.read(vectors.resolve("types.definition.xml"));
        byte[] parFile = CodecChecks.read(vectors.resolve("types.par"));
        byte[] rendered = CodecChecks.read(vectors.resolve("types.rendered.xml"));

        Check.test("a parameter file gives its values XML", () -> {
            Check.equal(new String(rendered, StandardCharsets.ISO_8859_1),
                    Parjni.getXmlDecodedData(definition, parFile), "types");
            Check.equal(new String(CodecChecks.read(vectors.resolve("nodefaults.rendered.xml")),
                                StandardCharsets.ISO_8859_1),
                    Parjni.getXmlDecodedData(definition, CodecChecks.read(vectors.resolve("nodefaults.par"))),
                    "nodefaults");
        });
        Check.test("the ISO-8859-1 document maps byte for byte", () -> {
            byte[] high = {'H', (byte) 0xF6, 'h', 'e', (byte) 0xFF, (byte) 0x80};
            byte[] def = CodecChecks.replaceOnce(definition, CodecChecks.ascii("<zamoNs:enumItemName>High<"),
                    concat(CodecChecks.ascii("<zamoNs:enumItemName>"), high, CodecChecks.ascii("<")));
            byte[] expected = CodecChecks.replaceOnce(rendered, CodecChecks.ascii("<Value>High<"),
                    concat(CodecChecks.ascii("<Value>"), high, CodecChecks.ascii("<")));
            Check.equal(new String(expected, StandardCharsets.ISO_8859_1), Parjni.getXmlDecodedData(def, parFile),
                    "enum item with bytes above 0x7F");
        });
        Check.test("a failing step gives the codec's text", () -> {
            byte[] version2 = CodecChecks.replaceOnce(definition,
                    CodecChecks.ascii("<zamoNs:zamoXMLVersion>1.0<"), CodecChecks.ascii("<zamoNs:zamoXMLVersion>2.0<"));
            CodecChecks.wrapper("Definition parameter XML version unsupported", MODULE, CodecChecks.NO_DEVICE,
                    () -> Parjni.getXmlDecodedData(version2, parFile), "definition version");
            CodecChecks.wrapper("Exception error", MODULE, CodecChecks.NO_DEVICE,
                    () -> Parjni.getXmlDecodedData(CodecChecks.ascii("<zamoNs:zamoRoot>"), parFile),
                    "malformed definition");
            WrapperException e = Check.throwsOf(WrapperException.class,
                    () -> Parjni.getXmlDecodedData(definition, new byte[0]), "empty parameter file");
            if (e != null) {
                Check.isTrue(!e.getText().isEmpty(), "empty parameter file: a text");
                Check.equal(MODULE, e.getModule(), "empty parameter file: module");
                Check.bytes(CodecChecks.NO_DEVICE, e.getRemoteId(), "empty parameter file: id");
            }
        });
        Check.test("null arguments", () -> {
            CodecChecks.nullArgument("definition", () -> Parjni.getXmlDecodedData(null, parFile), "definition");
            CodecChecks.nullArgument("parFile", () -> Parjni.getXmlDecodedData(definition, null), "parFile");
        });

        int code = Check.finish();
        if (code != 0) System.exit(code);
    }

    static byte[] concat(byte[]... parts) {
        int n = 0;
        for (byte[] p : parts) n += p.length;
        byte[] out = new byte[n];
        int at = 0;
        for (byte[] p : parts) {
            System.arraycopy(p, 0, out, at, p.length);
            at += p.length;
        }
        return out;
    }
}
