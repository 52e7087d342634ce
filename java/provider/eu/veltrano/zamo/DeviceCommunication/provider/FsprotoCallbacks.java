package eu.veltrano.zamo.DeviceCommunication.provider;

/**
 * The file server binding's callbacks object: made by the binding at load (Fsjni.getCallbacks()); its calls carry
 * no remote id, arrive on the binding's dispatcher thread holding this object's monitor and go to the listener.
 */
public class FsprotoCallbacks {
    public interface Listener {
        void nativeCallbackSetOperationProgress(int done, int total);

        void nativeCallbackSetFileInfo(String name, int size, int attributes);

        void nativeCallbackSetOperationEnd(boolean success, int code, String text);

        void handleNativeException(String text, String module, byte[] remoteId);

        void handleNativeGenericException(Exception e);
    }

    private volatile Listener listener;

    public FsprotoCallbacks() {}

    public void setListener(Listener listener) {
        this.listener = listener;
    }

    public void nativeCallbackSetOperationProgress(int done, int total) {
        Listener l = listener;
        if (l != null) l.nativeCallbackSetOperationProgress(done, total);
    }

    public void nativeCallbackSetFileInfo(String name, int size, int attributes) {
        Listener l = listener;
        if (l != null) l.nativeCallbackSetFileInfo(name, size, attributes);
    }

    public void nativeCallbackSetOperationEnd(boolean success, int code, String text) {
        Listener l = listener;
        if (l != null) l.nativeCallbackSetOperationEnd(success, code, text);
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
