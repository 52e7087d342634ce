# The shared pieces (errors, CRC, XML in and out) in one test program; the
# allocation of a large result makes its pages present on helper threads,
# of huge pages where it is large enough.
vln_add_test(NAME codec_common_test SOURCES tests/codec_common_test.cpp LIBS codec_common plat
             LABELS unit asan concurrency)

# The XML nesting guard with the parser behind it.
vln_add_fuzz(TARGET xmlinput LIBS codec_common)
