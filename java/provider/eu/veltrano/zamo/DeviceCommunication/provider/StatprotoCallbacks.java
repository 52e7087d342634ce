package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * The status binding's callbacks object: made by the binding at load (Statjni.getCallbacks()); every call arrives
 * on the binding's dispatcher thread holding this object's monitor and goes to the listener.
 */
public class StatprotoCallbacks {
    public interface Listener {
        void nativeCallbackSetConnected(byte[] remoteId);

        void nativeCallbackUnSetConnected(byte[] remoteId);

        void nativeCallbackParamSignature(byte[] remoteId, byte[] signature);

        void nativeCallbackEventListChanged(byte[] remoteId, int[] events);

        void nativeCallbackPowerStateListChanged(byte[] remoteId, int[] states);

        void nativeCallbackSystemStatusChanged(byte[] remoteId, String status);

        void handleNativeException(String text, String module, byte[] remoteId);

        void handleNativeGenericException(Exception e);
    }

    private volatile Listener listener;

    public StatprotoCallbacks() {}

    public void setListener(Listener listener) {
        this.listener = listener;
    }

    public void nativeCallbackSetConnected(byte[] remoteId) {
        Listener l = listener;
        if (l != null) l.nativeCallbackSetConnected(remoteId);
    }

    public void nativeCallbackUnSetConnected(byte[] remoteId) {
        Listener l = listener;
        if (l != null) l.nativeCallbackUnSetConnected(remoteId);
    }

    public void nativeCallbackParamSignature(byte[] remoteId, byte[] signature) {
        Listener l = listener;
        if (l != null) l.nativeCallbackParamSignature(remoteId, signature);
    }

    public void nativeCallbackEventListChanged(byte[] remoteId, int[] events) {
        Listener l = listener;
        if (l != null) l.nativeCallbackEventListChanged(remoteId, events);
    }

    public void nativeCallbackPowerStateListChanged(byte[] remoteId, int[] states) {
        Listener l = listener;
        if (l != null) l.nativeCallbackPowerStateListChanged(remoteId, states);
    }

    public void nativeCallbackSystemStatusChanged(byte[] remoteId, String status) {
        Listener l = listener;
        if (l != null) l.nativeCallbackSystemStatusChanged(remoteId, status);
    }

    public void handleNativeException(String text, String module, byte[] remoteId) {
        Listener l = listener;
        if (l != null) l.handleNativeException(text, module, remoteId);
    }

    public void handleNativeGenericException(Exception e) {
        Listener l = listener;
        if (l != null) l.handleNativeGenericException(e);
    }
}
