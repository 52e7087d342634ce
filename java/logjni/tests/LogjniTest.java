import eu.veltrano.zamo.DeviceCommunication.provider.Logjni;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import vlntest.Check;

/** The log binding over the real log codec and its fixtures. Arguments: the fixture directory [--german]. */
public final class LogjniTest {
    private static final String MODULE = "Logjni";

    public static void main(String[] args) throws Exception {
        Path fixtures = Path.of(args[0]);
        Path tmp = Files.createTempDirectory("logjni");
        CodecChecks.localeAsAsked(args);
        Logjni.load();
        String m1 = fixtures.resolve("merge_1.bin").toString();
        String m2 = fixtures.resolve("merge_2.bin").toString();

        Check.test("two files merge in time order", () -> {
            Check.bytes(CodecChecks.read(fixtures.resolve("merge.xml")), Logjni.getXmlLog(new String[] {m1, m2}),
                    "merge");
        });
        Check.test("every fixture with an expected XML converts to it", () -> {
            for (String name : new String[] {"basic", "align", "saturate", "escaping"}) {
                Check.bytes(CodecChecks.read(fixtures.resolve(name + ".xml")),
                        Logjni.getXmlLog(new String[] {fixtures.resolve(name + ".bin").toString()}), name);
            }
        });
        Check.test("no files give the empty envelope", () -> {
            Check.bytes(CodecChecks.ascii("<?xml version=\"1.0\" encoding=\"ISO-8859-1\" standalone=\"yes\"?>"
                            + "<Events></Events>\n"),
                    Logjni.getXmlLog(new String[0]), "empty list");
        });
        Check.test("a second file that cannot be read is not found, though the first decoded", () -> {
            Path dir = Files.createDirectory(tmp.resolve("a directory"));
            for (String second : new String[] {tmp.resolve("missing.bin").toString(), dir.toString(), ""}) {
                CodecChecks.wrapper("File not found: " + second, MODULE, CodecChecks.NO_DEVICE,
                        () -> Logjni.getXmlLog(new String[] {m1, second}), "second file <" + second + ">");
            }
        });
        Check.test("a file that does not decode gives the codec's text", () -> {
            int rows = 0;
            for (String line : Files.readAllLines(fixtures.resolve("errors.tsv"), StandardCharsets.UTF_8)) {
                if (line.startsWith("#") || line.isEmpty()) continue;
                String[] cols = line.split("\t", -1);
                String file = fixtures.resolve(cols[0]).toString();
                CodecChecks.wrapper(cols[1], MODULE, CodecChecks.NO_DEVICE,
                        () -> Logjni.getXmlLog(new String[] {m1, file}), cols[0]);
                rows++;
            }
            Check.isTrue(rows >= 5, "error fixtures read: " + rows);
        });
        Check.test("bytes above 0x7F reach Java unchanged", () -> {
            // Same length: the stream counts its texts' bytes.
            byte[] from = CodecChecks.ascii("first entry");
            byte[] to = CodecChecks.replaceOnce(from, CodecChecks.ascii("fir"),
                    new byte[] {(byte) 0xE9, (byte) 0xFF, (byte) 0x80});
            Path image = tmp.resolve("high.bin");
            Files.write(image, CodecChecks.replaceOnce(CodecChecks.read(fixtures.resolve("basic.bin")), from, to));
            byte[] expected = CodecChecks.replaceOnce(CodecChecks.read(fixtures.resolve("basic.xml")), from, to);
            Check.bytes(expected, Logjni.getXmlLog(new String[] {image.toString()}), "patched basic");
        });
        Check.test("file names are standard UTF-8 on the C side", () -> {
            Path named = tmp.resolve("Zo\u00eb \ud83d\ude00.bin");
            Files.copy(Path.of(m1), named);
            Check.bytes(CodecChecks.read(fixtures.resolve("merge.xml")),
                    Logjni.getXmlLog(new String[] {named.toString(), m2}), "non-ASCII name");
            String missing = tmp.resolve("\u00c4rger \ud83d\ude00.bin").toString();
            CodecChecks.wrapper("File not found: " + missing, MODULE, CodecChecks.NO_DEVICE,
                    () -> Logjni.getXmlLog(new String[] {missing}), "missing non-ASCII name");
        });
        Check.test("a name with a zero names no file", () -> {
            String cut = m1 + "\u0000.ignored";
            CodecChecks.wrapper("File not found: " + cut, MODULE, CodecChecks.NO_DEVICE,
                    () -> Logjni.getXmlLog(new String[] {cut}), "embedded zero");
        });
        Check.test("a pipe is read to its end", () -> {
            Path fifo = tmp.resolve("log.fifo");
            Process mk = new ProcessBuilder("mkfifo", fifo.toString()).inheritIO().start();
            Check.isTrue(mk.waitFor(60, TimeUnit.SECONDS) && mk.exitValue() == 0, "mkfifo");
            byte[] second = CodecChecks.read(Path.of(m2));
            Thread writer = new Thread(() -> {
                try (OutputStream out = Files.newOutputStream(fifo)) {
                    // Several writes, so a reader that stops at the first chunk misses entries.
                    for (byte b : second) out.write(b);
                } catch (IOException e) {
                    throw new RuntimeException(e);
                }
            });
            writer.setDaemon(true);
            writer.start();
            Check.bytes(CodecChecks.read(fixtures.resolve("merge.xml")),
                    Logjni.getXmlLog(new String[] {m1, fifo.toString()}), "merge with a pipe");
            writer.join(60_000);
        });
        Check.test("calls on several threads at once each get their own result", () -> {
            byte[] merged = CodecChecks.read(fixtures.resolve("merge.xml"));
            byte[] basic = CodecChecks.read(fixtures.resolve("basic.xml"));
            String b = fixtures.resolve("basic.bin").toString();
            List<Thread> threads = new ArrayList<>();
            List<String> wrong = java.util.Collections.synchronizedList(new ArrayList<>());
            for (int t = 0; t < 4; t++) {
                final boolean odd = t % 2 == 1;
                Thread th = new Thread(() -> {
                    for (int i = 0; i < 25; i++) {
                        try {
                            String[] names = odd ? new String[] {b} : new String[] {m1, m2};
                            byte[] got = Logjni.getXmlLog(names);
                            if (!java.util.Arrays.equals(odd ? basic : merged, got)) wrong.add("call " + i);
                        } catch (Exception e) {
                            wrong.add(e.toString());
                        }
                    }
                });
                threads.add(th);
                th.start();
            }
            for (Thread th : threads) th.join();
            Check.equal(List.of(), new ArrayList<>(wrong), "calls with another result");
        });
        Check.test("null arguments", () -> {
            CodecChecks.nullArgument("fileNames", () -> Logjni.getXmlLog(null), "null array");
            CodecChecks.nullArgument("fileNames[1]", () -> Logjni.getXmlLog(new String[] {m1, null}),
                    "null element");
        });

        deleteTree(tmp);
        int code = Check.finish();
        if (code != 0) System.exit(code);
    }

    static void deleteTree(Path root) throws IOException {
        List<Path> all = new ArrayList<>();
        try (var walk = Files.walk(root)) {
            walk.forEach(all::add);
        }
        for (int i = all.size() - 1; i >= 0; i--) Files.deleteIfExists(all.get(i));
    }
}
