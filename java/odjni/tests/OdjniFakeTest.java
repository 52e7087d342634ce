import eu.veltrano.zamo.DeviceCommunication.provider.Odjni;
import vlntest.Check;

/**
 * The object dictionary binding over a stand-in codec that reports success without output (see fake_odcodec.cpp):
 * the binding must not hand out what it never got.
 */
public final class OdjniFakeTest {
    public static void main(String[] args) throws Exception {
        Odjni.load();
        byte[] noOutput = CodecChecks.ascii("no-output");

        Check.test("the stand-in is the codec in use", () -> {
            Check.bytes(CodecChecks.ascii("same"), Odjni.encodeXMLData(CodecChecks.ascii("same")), "encode");
            Check.bytes(CodecChecks.ascii("same"), Odjni.decodeXMLData(CodecChecks.ascii("same")), "decode");
        });
        Check.test("success without output is a failure", () -> {
            String noData = "Exception in module Odjni\n"
                    + "\tException kind : the object dictionary codec reported success without data\n";
            String noXml = "Exception in module Odjni\n"
                    + "\tException kind : the object dictionary codec reported success without XML\n";
            CodecChecks.internalFailure(noData, () -> Odjni.encodeXMLData(noOutput), "encode");
            CodecChecks.internalFailure(noXml, () -> Odjni.decodeXMLData(noOutput), "decode");
            CodecChecks.internalFailure(noData, () -> Odjni.encodeXMLData(CodecChecks.ascii("negative")),
                    "negative length");
        });

        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
