package vlntest;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * A small check kit for the Java tests: named cases, checks that record a failure and go on, and an exit code
 * for CTest. A test's main ends with {@code System.exit(Check.finish())} or {@code Check.finishOrThrow()}.
 */
public final class Check {
    private static final List<String> failures = new ArrayList<>();
    private static String current = "";
    private static int cases;

    private Check() {}

    public interface Body {
        void run() throws Throwable;
    }

    /** Runs one named case; an exception it throws is a failure of that case. */
    public static void test(String name, Body body) {
        current = name;
        cases++;
        try {
            body.run();
        } catch (Throwable t) {
            fail("threw " + t);
            t.printStackTrace();
        }
        current = "";
    }

    public static void fail(String what) {
        String line = (current.isEmpty() ? "" : current + ": ") + what;
        failures.add(line);
        System.out.println("FAILED " + line);
    }

    public static void isTrue(boolean condition, String what) {
        if (!condition) fail(what);
    }

    public static void equal(Object expected, Object actual, String what) {
        boolean same = expected == null ? actual == null : expected.equals(actual);
        if (!same) fail(what + ": expected <" + expected + "> but was <" + actual + ">");
    }

    public static void equal(long expected, long actual, String what) {
        if (expected != actual) fail(what + ": expected <" + expected + "> but was <" + actual + ">");
    }

    public static void bytes(byte[] expected, byte[] actual, String what) {
        if (!Arrays.equals(expected, actual))
            fail(what + ": expected " + hex(expected) + " but was " + hex(actual));
    }

    /** Runs `body` and returns what it threw; a failure when it threw nothing or another type. */
    public static <T extends Throwable> T throwsOf(Class<T> type, Body body, String what) {
        try {
            body.run();
        } catch (Throwable t) {
            if (type.isInstance(t)) return type.cast(t);
            fail(what + ": expected " + type.getSimpleName() + " but got " + t);
            return null;
        }
        fail(what + ": expected " + type.getSimpleName() + ", nothing thrown");
        return null;
    }

    public static String hex(byte[] bytes) {
        if (bytes == null) return "null";
        StringBuilder s = new StringBuilder();
        for (byte b : bytes) s.append(String.format("%02X", b & 0xFF));
        return s.toString();
    }

    /** Bytes from 32 (or any even number of) hex digits. */
    public static byte[] unhex(String hex) {
        byte[] out = new byte[hex.length() / 2];
        for (int i = 0; i < out.length; i++) out[i] = (byte) Integer.parseInt(hex.substring(2 * i, 2 * i + 2), 16);
        return out;
    }

    /** An upper bound stretched by VLN_TIME_SLACK (default 1), as the C++ tests do. */
    public static long slackMillis(long millis) {
        double factor = 1.0;
        String text = System.getenv("VLN_TIME_SLACK");
        if (text != null && !text.isEmpty()) {
            try {
                factor = Math.max(1.0, Double.parseDouble(text));
            } catch (NumberFormatException e) {
                factor = 1.0;
            }
        }
        return (long) (millis * factor);
    }

    /** True when a live thread has this name. */
    public static boolean threadAlive(String name) {
        for (Thread t : Thread.getAllStackTraces().keySet())
            if (t.isAlive() && name.equals(t.getName())) return true;
        return false;
    }

    /** The thread of that name, or null. */
    public static Thread thread(String name) {
        for (Thread t : Thread.getAllStackTraces().keySet())
            if (t.isAlive() && name.equals(t.getName())) return t;
        return null;
    }

    /** 0 when every case passed, else 1; prints the summary. */
    public static int finish() {
        System.out.println(cases + " case(s), " + failures.size() + " failure(s)");
        for (String f : failures) System.out.println("  " + f);
        return failures.isEmpty() && cases > 0 ? 0 : 1;
    }
}
