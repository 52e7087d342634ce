package vlntest;

/** The fake binding's callbacks class: made by the binding, passes each call on to the listener. */
public class FakeCallbacks {
    public interface Listener {
        void onEvent(byte[] remoteId, int type, byte[] payload);

        void handleNativeException(String text, String module, byte[] remoteId);

        void handleNativeGenericException(Exception e);
    }

    private volatile Listener listener;

    public FakeCallbacks() {}

    public void setListener(Listener listener) {
        this.listener = listener;
    }

    public void onEvent(byte[] remoteId, int type, byte[] payload) {
        Listener l = listener;
        if (l != null) l.onEvent(remoteId, type, payload);
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
