package eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope;

/** What a device's scope can do; filled by Scopejni.getRemoteCapabilities. */
public class DigScopeCapabilities {
    public int maxChannels;
    public int maxTriggers;
    public int baseSampleSize;
    public float timeBase;
    public int bufferSize;

    public DigScopeCapabilities() {}

    @Override
    public String toString() {
        return "DigScopeCapabilities(maxChannels=" + maxChannels + ", maxTriggers=" + maxTriggers
                + ", baseSampleSize=" + baseSampleSize + ", timeBase=" + timeBase + ", bufferSize=" + bufferSize + ")";
    }
}
