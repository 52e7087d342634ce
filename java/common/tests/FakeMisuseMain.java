import vlntest.Fakejni;

/** Makes the JVM warn about JNI misuse on purpose; the runner must fail this test (WILL_FAIL). */
public final class FakeMisuseMain {
    public static void main(String[] args) throws Exception {
        Fakejni.load();
        Fakejni.misuse();
    }
}
