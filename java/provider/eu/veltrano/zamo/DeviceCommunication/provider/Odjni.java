package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * The object dictionary file to its XML and back. Failures throw WrapperException (module "Odjni", 16 zero bytes
 * as id) with the codec's text.
 */
public final class Odjni {
    public static final String MODULE = "Odjni";

    private Odjni() {}

    /** Loads the binding; call once before the natives. */
    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "odjni");
    }

    /** Object dictionary XML to the object dictionary file. */
    public static native byte[] encodeXMLData(byte[] xml) throws WrapperException;

    /** Object dictionary file to the object dictionary XML, as the codec's bytes. */
    public static native byte[] decodeXMLData(byte[] data) throws WrapperException;
}
