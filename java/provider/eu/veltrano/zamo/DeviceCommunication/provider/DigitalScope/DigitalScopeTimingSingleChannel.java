package eu.veltrano.zamo.DeviceCommunication.provider.DigitalScope;

/** One channel's sampling time in a timing estimation. */
public class DigitalScopeTimingSingleChannel {
    public final int channel;
    public final float time;

    public DigitalScopeTimingSingleChannel(int channel, float time) {
        this.channel = channel;
        this.time = time;
    }

    @Override
    public String toString() {
        return "channel " + channel + ": " + time;
    }
}
