package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * Device management of one device by its 16-byte remote id. Every call opens its own management connection and
 * closes it before returning. Failures throw WrapperException (module "Devmgrjni", the id as given).
 */
public final class Devmgrjni {
    public static final String MODULE = "Devmgrjni";

    private Devmgrjni() {}

    /** Loads the binding; call once before any native. */
    public static void load() throws WrapperException {
        NativeBinding.load(MODULE, "devmgrjni");
    }

    /** The server's device chooser; the id goes in as the proposal. Null when nothing was chosen. */
    public static native byte[] getSelectedRemoteDeviceId(byte[] remoteId) throws WrapperException;

    public static native byte[] getProtocolList(byte[] remoteId) throws WrapperException;

    public static native int getFirmwareVersion(byte[] remoteId) throws WrapperException;

    public static native String getFirmwarePlatformOptions(byte[] remoteId) throws WrapperException;

    public static native String getFirmwareRunningTarget(byte[] remoteId) throws WrapperException;

    public static native String getFirmwareSubTarget(byte[] remoteId) throws WrapperException;

    public static native String getFirmwareVersionString(byte[] remoteId) throws WrapperException;

    public static native String getFirmwareVerboseDescription(byte[] remoteId) throws WrapperException;

    public static native byte[] getFirmwareSignature(byte[] remoteId) throws WrapperException;

    public static native String getFriendlyName(byte[] remoteId) throws WrapperException;

    public static native int getRecoveryVersion(byte[] remoteId) throws WrapperException;

    public static native byte[] getApplicationUUID(byte[] remoteId) throws WrapperException;

    public static native String getApplicationInfoName(byte[] remoteId) throws WrapperException;

    public static native String getApplicationInfoVersion(byte[] remoteId) throws WrapperException;

    public static native byte[] getParamTableSignature(byte[] remoteId) throws WrapperException;

    public static native byte[] getParamTableDefaultsSignature(byte[] remoteId) throws WrapperException;

    public static native String getDeviceName(byte[] remoteId) throws WrapperException;

    public static native int getDeviceSerialNumber(byte[] remoteId) throws WrapperException;

    /** Stores at most 63 bytes of the name's UTF-8 form, cut at a character boundary. */
    public static native boolean setFriendlyName(byte[] remoteId, String name) throws WrapperException;

    /** Duration in milliseconds; only its low 16 bits reach the device. */
    public static native void identifyRemote(byte[] remoteId, int duration) throws WrapperException;

    public static native void immediateReset(byte[] remoteId) throws WrapperException;

    /** 1 accepted, 0 refused, -1 a name over 255 bytes, -2 no connection, -3 invalid id. */
    public static native int requestCoreFirmwareUpgrade(byte[] remoteId, String storage, String file)
            throws WrapperException;
}
