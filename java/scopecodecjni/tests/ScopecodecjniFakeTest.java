import eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope.Scopecodecjni;
import java.nio.charset.StandardCharsets;
import vlntest.Check;

/** The scope capture binding over a stand-in decoder whose result code is the capture's first byte. */
public final class ScopecodecjniFakeTest {
    public static void main(String[] args) throws Exception {
        Scopecodecjni.load();
        byte[] id = Check.unhex("F0E1D2C3B4A5968778695A4B3C2D1E0F");

        Check.test("a code with a text throws that text", () -> {
            CodecChecks.wrapper("fake level text", "Scopecodecjni", id,
                    () -> Scopecodecjni.decodeByteBuffer(id, new byte[] {1}), "code 1");
        });
        Check.test("an untranslated code names itself", () -> {
            for (int code : new int[] {6, 127, -1, -128}) {
                CodecChecks.wrapper("Unknown scope decoder error " + code, "Scopecodecjni", id,
                        () -> Scopecodecjni.decodeByteBuffer(id, new byte[] {(byte) code}), "code " + code);
            }
        });
        Check.test("success hands out the decoder's bytes, or fails when there are none", () -> {
            byte[] capture = {0, '<', 'x', (byte) 0xE9, '/', '>'};
            Check.bytes(new byte[] {'<', 'x', (byte) 0xE9, '/', '>'}, Scopecodecjni.decodeByteBuffer(id, capture),
                    "xml");
            byte[] noText = ("\u0000no-text").getBytes(StandardCharsets.ISO_8859_1);
            CodecChecks.internalFailure("Exception in module Scopecodecjni\n"
                            + "\tTrying to access remote device F0E1D2C3B4A5968778695A4B3C2D1E0F\n"
                            + "\tException kind : the scope decoder reported success without XML\n",
                    () -> Scopecodecjni.decodeByteBuffer(id, noText), "success without XML");
        });

        int code = Check.finish();
        if (code != 0) System.exit(code);
    }
}
