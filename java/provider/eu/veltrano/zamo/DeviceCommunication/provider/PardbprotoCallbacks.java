package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * The parameter database binding's callbacks object: made by the binding at load (Pardbjni.getCallbacks());
 * every call arrives on the binding's dispatcher thread holding this object's monitor and goes to the listener.
 */
public class PardbprotoCallbacks {
    public interface Listener {
        void nativeCallbackSetDeviceStatus(byte[] remoteId, boolean connected);

        void nativeCallbackParameterSignatureResult(byte[] remoteId, byte[] signature);

        void nativeCallbackStoreOperationResult(byte[] remoteId, int result);

        void nativeCallbackReadOperationResult(byte[] remoteId, int index, byte[] data);

        void nativeCallbackWriteOperationResult(byte[] remoteId, int index, boolean written);

        void handleNativeException(String text, String module, byte[] remoteId);

        void handleNativeGenericException(Exception e);
    }

    private volatile Listener listener;

    public PardbprotoCallbacks() {}

    public void setListener(Listener listener) {
        this.listener = listener;
    }

    public void nativeCallbackSetDeviceStatus(byte[] remoteId, boolean connected) {
        Listener l = listener;
        if (l != null) l.nativeCallbackSetDeviceStatus(remoteId, connected);
    }

    public void nativeCallbackParameterSignatureResult(byte[] remoteId, byte[] signature) {
        Listener l = listener;
        if (l != null) l.nativeCallbackParameterSignatureResult(remoteId, signature);
    }

    public void nativeCallbackStoreOperationResult(byte[] remoteId, int result) {
        Listener l = listener;
        if (l != null) l.nativeCallbackStoreOperationResult(remoteId, result);
    }

    public void nativeCallbackReadOperationResult(byte[] remoteId, int index, byte[] data) {
        Listener l = listener;
        if (l != null) l.nativeCallbackReadOperationResult(remoteId, index, data);
    }

    public void nativeCallbackWriteOperationResult(byte[] remoteId, int index, boolean written) {
        Listener l = listener;
        if (l != null) l.nativeCallbackWriteOperationResult(remoteId, index, written);
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
