package vlntest;

/** A callbacks class the fake binding must refuse: it lacks onEvent. */
public class FakeCallbacksWithoutEvent {
    public FakeCallbacksWithoutEvent() {}

    public void handleNativeException(String text, String module, byte[] remoteId) {}

    public void handleNativeGenericException(Exception e) {}
}
