package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * Binary parameter files to the parameter values XML. Failures throw WrapperException (module "Parjni", 16 zero
 * bytes as id).
 */
public final class Parjni {
    public static final String MODULE = "Parjni";

    private Parjni() {}

    /** Loads the binding; call once before the native. */
    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "parjni");
    }

    /**
     * Reads the binary parameter file against its parameter definition XML and returns the values XML; each byte
     * of the document (declared ISO-8859-1) is the character of the same value. A failing step throws, with the
     * codec's text or "Exception error" when it gave none.
     */
    public static native String getXmlDecodedData(byte[] definition, byte[] parFile) throws WrapperException;
}
