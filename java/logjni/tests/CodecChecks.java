import eu.veltrano.zamo.DeviceCommunication.provider.WrapperException;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Locale;
import vlntest.Check;

/** What the codec binding tests share: fixture files, the expected failures, the locale switch. */
final class CodecChecks {
    static final byte[] NO_DEVICE = new byte[16];

    private CodecChecks() {}

    static byte[] read(Path file) {
        try {
            return Files.readAllBytes(file);
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        }
    }

    static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.ISO_8859_1);
    }

    /** `body` throws WrapperException(text, module, id). */
    static void wrapper(String text, String module, byte[] id, Check.Body body, String what) {
        WrapperException e = Check.throwsOf(WrapperException.class, body, what);
        if (e == null) return;
        Check.equal(text, e.getText(), what + ": text");
        Check.equal(module, e.getModule(), what + ": module");
        Check.bytes(id, e.getRemoteId(), what + ": id");
    }

    /** `body` throws a NullPointerException that names `argument`. */
    static void nullArgument(String argument, Check.Body body, String what) {
        NullPointerException e = Check.throwsOf(NullPointerException.class, body, what);
        if (e == null) return;
        Check.isTrue(String.valueOf(e.getMessage()).contains(argument),
                what + ": message <" + e.getMessage() + "> names " + argument);
    }

    /**
     * A plain java.lang.Exception (not a WrapperException) with the binding's description of an internal failure:
     * exactly `message` (the describeException text).
     */
    static void internalFailure(String message, Check.Body body, String what) {
        Exception e = Check.throwsOf(Exception.class, body, what);
        if (e == null) return;
        Check.equal(Exception.class, e.getClass(), what + ": class");
        Check.equal(message, e.getMessage(), what + ": message");
    }

    /** `haystack` with the first occurrence of `from` replaced; a fixture must hold it exactly once. */
    static byte[] replaceOnce(byte[] haystack, byte[] from, byte[] to) {
        int at = -1;
        for (int i = 0; i + from.length <= haystack.length; i++) {
            if (Arrays.equals(haystack, i, i + from.length, from, 0, from.length)) {
                if (at >= 0) {
                    String what = new String(from, StandardCharsets.ISO_8859_1);
                    throw new IllegalArgumentException("more than one " + what);
                }
                at = i;
            }
        }
        if (at < 0) throw new IllegalArgumentException("no " + new String(from, StandardCharsets.ISO_8859_1));
        byte[] out = new byte[haystack.length - from.length + to.length];
        System.arraycopy(haystack, 0, out, 0, at);
        System.arraycopy(to, 0, out, at, to.length);
        System.arraycopy(haystack, at + from.length, out, at + to.length, haystack.length - at - from.length);
        return out;
    }

    /**
     * With "--german" the JVM must really run under the decimal-comma locale the test's environment asks for, so
     * the codecs' number texts are seen not to follow it.
     */
    static void localeAsAsked(String[] args) {
        if (!Arrays.asList(args).contains("--german")) return;
        Check.test("runs under the German locale", () -> {
            Check.equal("de", Locale.getDefault().getLanguage(), "default locale");
            Check.equal("1,5", String.format("%.1f", 1.5), "a number in the default locale");
        });
    }
}
