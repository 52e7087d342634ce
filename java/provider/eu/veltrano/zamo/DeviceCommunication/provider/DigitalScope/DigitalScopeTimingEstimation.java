package eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope;

/** The device's estimate for the configured channels: the longest capture time and each channel's time. */
public class DigitalScopeTimingEstimation {
    public final int count;
    public final float maxCaptureTime;
    /** Set by the binding after construction: count entries. */
    public DigitalScopeTimingSingleChannel[] channelsList = new DigitalScopeTimingSingleChannel[0];

    public DigitalScopeTimingEstimation(int count, float maxCaptureTime) {
        this.count = count;
        this.maxCaptureTime = maxCaptureTime;
    }
}
