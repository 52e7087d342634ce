package vlntest;

import java.nio.file.Files;
import java.nio.file.Path;

/**
 * The Java side of a road test's named steps: at(name) tells the test (a file "at-NAME" in the directory of the
 * property vlntest.steps) and waits for its answer ("go-NAME"), so the test can turn a device knob exactly there.
 */
public final class Steps {
    private Steps() {}

    public static void at(String name) throws Exception {
        String dir = System.getProperty("vlntest.steps");
        if (dir == null) throw new IllegalStateException("no vlntest.steps directory");
        Files.writeString(Path.of(dir, "at-" + name), "at\n");
        Path go = Path.of(dir, "go-" + name);
        long end = System.nanoTime() + Check.slackMillis(60000) * 1000000L;
        while (!Files.exists(go)) {
            if (System.nanoTime() > end) throw new IllegalStateException("no answer for step " + name);
            Thread.sleep(5);
        }
    }
}
