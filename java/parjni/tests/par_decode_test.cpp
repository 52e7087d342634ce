// The parameter binding's conversion over a scripted codec table: each step
// runs only after the one before it succeeded, a failure without text is
// "Exception error" (never an empty result), and the handle is destroyed and
// the codec's text freed on every path (the asan tree's leak checker).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ParDecode.h"

struct ParcodecHandle {
  std::string steps;
};

namespace {

// Which step fails (0: none; 1 definition, 2 file, 3 rendering), with what
// text, and whether rendering reports success without text.
struct Script {
  int failingStep = 0;
  const char* lastError = "";
  bool renderWithoutText = false;
};

Script gScript;
int gCreated = 0;
int gDestroyed = 0;
std::string gSteps;

bool step(ParcodecHandle* h, int n, char name) {
  h->steps += name;
  gSteps = h->steps;
  return gScript.failingStep != n;
}

const parjni::ParCodec kCodec{
    []() -> ParcodecHandle* {
      ++gCreated;
      return new ParcodecHandle;
    },
    [](ParcodecHandle* h) {
      ++gDestroyed;
      delete h;
    },
    [](ParcodecHandle*) { return gScript.lastError; },
    [](ParcodecHandle* h, const char*, unsigned int) { return step(h, 1, 'd'); },
    [](ParcodecHandle* h, const void*, unsigned int) { return step(h, 2, 'f'); },
    [](ParcodecHandle* h, char** xml) {
      if (!step(h, 3, 'x')) return false;
      if (!gScript.renderWithoutText) {
        *xml = static_cast<char*>(std::malloc(6));
        std::memcpy(*xml, "<xml>", 6);
      }
      return true;
    },
};

TEST(ParDecode, StepsRunInOrderUntilOneFails) {
  struct Case {
    const char* what;
    Script script;
    const char* steps;
    const char* result;  // the XML, or the failure's text
    bool fails;
  } cases[] = {
      {"all succeed", Script{}, "dfx", "<xml>", false},
      {"definition fails with text", Script{1, "Definition parameter XML version unsupported"}, "d",
       "Definition parameter XML version unsupported", true},
      {"definition fails silently", Script{1, ""}, "d", "Exception error", true},
      {"file fails silently", Script{2, ""}, "df", "Exception error", true},
      {"file fails, null text", Script{2, nullptr}, "df", "Exception error", true},
      {"rendering fails silently", Script{3, ""}, "dfx", "Exception error", true},
      {"rendering without text", Script{0, "", true}, "dfx", "Exception error", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    gScript = c.script;
    gCreated = gDestroyed = 0;
    gSteps.clear();
    try {
      std::string xml = parjni::decodeParameters(kCodec, {'d'}, {});
      EXPECT_FALSE(c.fails) << xml;
      EXPECT_EQ(xml, c.result);
    } catch (const std::string& text) {
      EXPECT_TRUE(c.fails) << text;
      EXPECT_EQ(text, c.result);
    }
    EXPECT_EQ(gSteps, c.steps);
    EXPECT_EQ(gCreated, 1);
    EXPECT_EQ(gDestroyed, 1);
  }
}

}  // namespace
