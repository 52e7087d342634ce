// One JVM run of a Java probe for a road test, with -Xcheck:jni, while the
// test turns the device's knobs: the probe stops at named steps
// (vlntest.Steps.at), creating "at-NAME" in the work directory and waiting
// for "go-NAME"; the test runs its action for that name and answers.
// VLN_JAVA, VLN_JAVA_LIB_DIR and VLN_JAVA_CLASSPATH come from the test's
// compile definitions.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/ShellRunner.h"
#include "vlntest/TimeSlack.h"

namespace jvmrun {

using Steps = std::map<std::string, std::function<void()>>;

inline shelltest::ShellResult run(const std::string& workDir, const std::string& mainClass,
                                  const std::vector<std::string>& args, const Steps& steps = {},
                                  const std::vector<std::string>& props = {}) {
  namespace fs = std::filesystem;
  fs::create_directories(workDir);
  for (const auto& [name, action] : steps) {
    fs::remove(workDir + "/at-" + name);
    fs::remove(workDir + "/go-" + name);
  }
  std::vector<std::string> command = {"-Xcheck:jni",
                                      std::string("-Djava.library.path=") + VLN_JAVA_LIB_DIR,
                                      "-Dvlntest.steps=" + workDir};
  command.insert(command.end(), props.begin(), props.end());
  command.insert(command.end(), {"-cp", VLN_JAVA_CLASSPATH, mainClass});
  command.insert(command.end(), args.begin(), args.end());
  std::atomic<bool> done{false};
  auto jvm = std::async(std::launch::async, [&] {
    shelltest::ShellRunner java(VLN_JAVA, workDir);
    shelltest::ShellResult result = java.run(command);
    done = true;
    return result;
  });
  std::map<std::string, bool> answered;
  while (!done) {
    for (const auto& [name, action] : steps) {
      if (answered[name] || !fs::exists(workDir + "/at-" + name)) continue;
      action();
      std::ofstream(workDir + "/go-" + name) << "go\n";
      answered[name] = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  shelltest::ShellResult result = jvm.get();
  const auto ended = std::chrono::system_clock::now();
  // A probe that returns from main prints "probe done <epoch ms>" last: the
  // JVM must end within 5 s of that, with registrations still open.
  const auto mark = result.out.rfind("probe done ");
  if (mark != std::string::npos) {
    const long long at = std::stoll(result.out.substr(mark + 11));
    const auto returned = std::chrono::system_clock::time_point(std::chrono::milliseconds(at));
    EXPECT_LT(ended - returned, vlntest::slackBound(std::chrono::seconds(5)))
        << "the JVM went on after main returned";
  }
  const std::string all = result.out + result.err;
  EXPECT_EQ(0, result.status) << all;
  for (const char* warning : {"WARNING in native method", "WARNING: JNI",
                              "Warning: Calling other JNI", "FATAL ERROR in native method"})
    EXPECT_EQ(std::string::npos, all.find(warning)) << all;
  return result;
}

}  // namespace jvmrun
