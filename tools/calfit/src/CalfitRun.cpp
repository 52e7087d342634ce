#include "CalfitRun.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "calcodec/calcodec.h"
#include "toolsupport/WholeFile.h"

namespace calfit {

namespace {

// A codec call that returned false; its text is the handle's last error.
struct CodecFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct HandleDeleter {
  void operator()(CalcodecHandle* h) const { CalcodecDestroyHandle(h); }
};
using Handle = std::unique_ptr<CalcodecHandle, HandleDeleter>;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

void require(CalcodecHandle* h, bool ok) {
  if (!ok) throw CodecFailure(CalcodecGetLastError(h));
}

// A text document with its zero byte counted, as the codec takes it.
using TextCall = bool (*)(CalcodecHandle*, const char*, unsigned int);
void passText(CalcodecHandle* h, TextCall call, const std::string& file) {
  std::vector<char> text = toolsupport::readCodecInput(file, toolsupport::FileKind::kText);
  require(h, call(h, text.data(), unsigned(text.size())));
}

void decodeRecord(CalcodecHandle* h, const CalfitRequest& request) {
  std::vector<char> record =
      toolsupport::readCodecInput(request.reverseFile, toolsupport::FileKind::kBinary);
  require(h, CalcodecInFromStdRecord(h, record.data(), unsigned(record.size())));
  char* xml = nullptr;
  require(h, CalcodecGetValuesXML(h, &xml));
  std::unique_ptr<char, FreeDeleter> owned(xml);
  toolsupport::writeWholeFile(request.output, xml, std::strlen(xml));
}

void encodeRecord(CalcodecHandle* h, const CalfitRequest& request) {
  for (const auto& file : request.dataValues) passText(h, CalcodecMergeDataValue, file);
  void* data = nullptr;
  int length = 0;
  require(h, CalcodecOutToStdRecord(h, &data, &length));
  std::unique_ptr<void, FreeDeleter> owned(data);
  toolsupport::writeWholeFile(request.output, data, size_t(length));
}

}  // namespace

int runRequest(const CalfitRequest& request, std::ostream& out) {
  try {
    Handle h(CalcodecCreateHandle());
    if (!h) throw std::bad_alloc();
    for (const auto& file : request.definitions) passText(h.get(), CalcodecAddDefinition, file);
    passText(h.get(), CalcodecMergeDataSet, request.dataSet);
    if (request.reverse)
      decodeRecord(h.get(), request);
    else
      encodeRecord(h.get(), request);
  } catch (const CodecFailure& e) {
    out << e.what() << std::endl;
    return kExitRunFailed;
  } catch (const toolsupport::ToolError& e) {
    out << e.what() << std::endl;
    return kExitRunFailed;
  } catch (...) {
    out << "Exception error." << std::endl;
    return kExitRunFailed;
  }
  if (!request.quiet) out << "Done" << std::endl;
  return kExitDone;
}

}  // namespace calfit
