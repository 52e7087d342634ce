import eu.veltrano.zamo.DeviceCommunication.provider.Odjni;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import vlntest.Check;

/** The object dictionary binding over the real codec and its vectors. Arguments: the vector directory [--german]. */
public final class OdjniTest {
    private static final String MODULE = "Odjni";

    public static void main(String[] args) throws Exception {
        Path vectors = Path.of(args[0]);
        CodecChecks.localeAsAsked(args);
        Odjni.load();

        Check.test("every dictionary decodes to its XML and encodes back byte-exact", () -> {
            List<Path> bins = filesEndingIn(vectors, ".bin");
            Check.isTrue(bins.size() >= 8, "vectors: " + bins.size());
            for (Path bin : bins) {
                String name = bin.getFileName().toString();
                byte[] file = CodecChecks.read(bin);
                byte[] xml = Odjni.decodeXMLData(file);
                Check.bytes(CodecChecks.read(vectors.resolve(name.replace(".bin", ".xml"))), xml, name + " to XML");
                Check.bytes(file, Odjni.encodeXMLData(xml), name + " back");
            }
        });
        Check.test("other XML spellings encode to their files", () -> {
            Path dir = vectors.resolve("from-xml");
            List<Path> xmls = filesEndingIn(dir, ".xml");
            Check.isTrue(xmls.size() >= 5, "spellings: " + xmls.size());
            for (Path xml : xmls) {
                String name = xml.getFileName().toString();
                Check.bytes(CodecChecks.read(dir.resolve(name.replace(".xml", ".bin"))),
                        Odjni.encodeXMLData(CodecChecks.read(xml)), name);
            }
        });
        Check.test("malformed XML gives the codec's text and no data", () -> {
            String[][] cases = {
                {"<Dictionary version=\"1\"><Objects/></Dictionary>", "Missing object dictionary root element"},
                {"", "Missing object dictionary root element"},
                {"<ObjectDictionary version=\"1\"><Object/></ObjectDictionary>", "Missing objects list"},
                {"<ObjectDictionary version=\"1\"><Objects><Object><SubIndex>0</SubIndex></Object></Objects>"
                                + "</ObjectDictionary>", "Missing <Index> statement"},
                {"<ObjectDictionary version=\"1\"><Objects></ObjectDictionary>", "Exception error"},
            };
            for (String[] c : cases) {
                CodecChecks.wrapper(c[1], MODULE, CodecChecks.NO_DEVICE,
                        () -> Odjni.encodeXMLData(CodecChecks.ascii(c[0])), "<" + c[0] + ">");
            }
        });
        Check.test("a file that does not decode gives the codec's text", () -> {
            Object[][] cases = {
                {new byte[0], "Out of input data"},
                {new byte[] {1}, "Out of input data"},
                {new byte[] {2, 0}, "Object dictionary file version unsupported: 2"},
                {new byte[] {1, 0, 0x18, 0x10, 2, 4, 1, 2, 3}, "Out of input data"},
            };
            for (Object[] c : cases) {
                byte[] file = (byte[]) c[0];
                CodecChecks.wrapper((String) c[1], MODULE, CodecChecks.NO_DEVICE, () -> Odjni.decodeXMLData(file),
                        Check.hex(file));
            }
        });
        Check.test("null arguments", () -> {
            CodecChecks.nullArgument("xml", () -> Odjni.encodeXMLData(null), "xml");
            CodecChecks.nullArgument("data", () -> Odjni.decodeXMLData(null), "data");
        });

        int code = Check.finish();
        if (code != 0) System.exit(code);
    }

    static List<Path> filesEndingIn(Path dir, String suffix) throws Exception {
        try (Stream<Path> s = Files.list(dir)) {
            return s.filter(p -> p.getFileName().toString().endsWith(suffix)).sorted().collect(Collectors.toList());
        }
    }
}
