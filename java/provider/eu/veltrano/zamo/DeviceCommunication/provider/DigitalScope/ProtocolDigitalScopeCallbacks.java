package eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope;

/**
 * The scope binding's callbacks object: made by the binding at load (get it with Scopejni.getCallbacks()); every
 * call arrives on the binding's dispatcher thread holding this object's monitor and is passed on to the listener.
 */
public class ProtocolDigitalScopeCallbacks {
    public interface Listener {
        void setConnectionStatus(byte[] remoteId, boolean connected);

        void statusUpdate(byte[] remoteId, int state, float fill);

        void setTimingEstimation(byte[] remoteId, DigitalScopeTimingEstimation estimation);

        void progressUpdate(byte[] remoteId, int received, int total);

        void setDataStream(byte[] remoteId, int status, byte[] data);

        void handleNativeException(String text, String module, byte[] remoteId);

        void handleNativeGenericException(Exception e);
    }

    private volatile Listener listener;

    public ProtocolDigitalScopeCallbacks() {}

    public void setListener(Listener listener) {
        this.listener = listener;
    }

    public void setConnectionStatus(byte[] remoteId, boolean connected) {
        Listener l = listener;
        if (l != null) l.setConnectionStatus(remoteId, connected);
    }

    public void statusUpdate(byte[] remoteId, int state, float fill) {
        Listener l = listener;
        if (l != null) l.statusUpdate(remoteId, state, fill);
    }

    public void setTimingEstimation(byte[] remoteId, DigitalScopeTimingEstimation estimation) {
        Listener l = listener;
        if (l != null) l.setTimingEstimation(remoteId, estimation);
    }

    public void progressUpdate(byte[] remoteId, int received, int total) {
        Listener l = listener;
        if (l != null) l.progressUpdate(remoteId, received, total);
    }

    public void setDataStream(byte[] remoteId, int status, byte[] data) {
        Listener l = listener;
        if (l != null) l.setDataStream(remoteId, status, data);
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
