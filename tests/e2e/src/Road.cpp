#include "e2e/Road.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>

#include "plat/process.h"
#include "plat/runtime.h"
#include "plat/threadsafety.h"
#include "rpc_child.h"
#include "translayer/TrIfTranClient.h"

using translayer::formatHwId;
using translayer::HwId;
using translayer::TrIfTranClient;

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

// One program started by the road, its output carried to standard error by
// a thread of its own.
class Road::Child {
 public:
  explicit Child(std::string name) : name_(std::move(name)) {}
  ~Child() {
    if (pid_ > 0 && !exited_) kill();
    stopDrain();
  }

  bool start(const std::string& program, const std::vector<std::string>& args) {
    if (!process_.start(program, args)) return false;
    pid_ = process_.pid();
    drain_ = std::thread([this] { drain(); });
    return true;
  }

  // Waits until the child has printed `wanted` as a whole line, or has ended.
  bool waitLine(const std::string& wanted, int timeoutMs) {
    return waitLine([&](const std::string& line) { return line == wanted; }, timeoutMs);
  }
  bool waitLine(const std::function<bool(const std::string&)>& match, int timeoutMs) {
    plat::UniqueLock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&]() REQUIRES(mutex_) {
      for (const std::string& line : lines_)
        if (match(line)) return true;
      return false;
    });
  }
  std::vector<std::string> lines() {
    plat::LockGuard lock(mutex_);
    return lines_;
  }

  int pid() const { return pid_; }

  bool running() {
    if (exited_) return false;
    const int status = process_.wait(0);
    if (status < 0) return true;
    exited_ = true;
    status_ = status;
    return false;
  }

  // SIGTERM, then SIGKILL when it does not end in time: its exit status.
  int terminate(int timeoutMs) {
    if (!exited_) {
      plat::signalProcess(pid_, plat::ProcessSignal::kTerminate);
      status_ = process_.wait(timeoutMs);
      if (status_ < 0) {
        std::cerr << "[" << name_ << "] did not end within " << timeoutMs << " ms: killed\n";
        plat::signalProcess(pid_, plat::ProcessSignal::kKill);
        process_.wait(kWaitMs);
      }
      exited_ = true;
    }
    stopDrain();
    return status_;
  }

  int kill() {
    if (!exited_) {
      plat::signalProcess(pid_, plat::ProcessSignal::kKill);
      status_ = process_.wait(kWaitMs);
      exited_ = true;
    }
    stopDrain();
    return status_;
  }

 private:
  void drain() {
    for (;;) {
      {
        plat::LockGuard lock(mutex_);
        if (stopDrain_) return;
      }
      const auto before = Clock::now();
      std::string line;
      if (process_.readLine(&line, 200)) {
        std::fprintf(stderr, "[%s] %s\n", name_.c_str(), line.c_str());
        plat::LockGuard lock(mutex_);
        lines_.push_back(line);
        cv_.notify_all();
      } else if (Clock::now() - before < std::chrono::milliseconds(100)) {
        // The output has ended; wait for the owner to say stop.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }

  void stopDrain() {
    {
      plat::LockGuard lock(mutex_);
      stopDrain_ = true;
    }
    if (!drain_.joinable()) return;
    drain_.join();
    // The child has ended: what it wrote last is still in the pipe.
    std::string line;
    while (exited_ && process_.readLine(&line, 200)) {
      std::fprintf(stderr, "[%s] %s\n", name_.c_str(), line.c_str());
      plat::LockGuard lock(mutex_);
      lines_.push_back(line);
    }
  }

  const std::string name_;
  plat::test::ChildProcess process_;
  int pid_ = -1;
  bool exited_ = false;  // owner's thread only
  int status_ = -1;      // owner's thread only
  std::thread drain_;
  plat::Mutex mutex_;
  plat::CondVar cv_;
  std::vector<std::string> lines_ GUARDED_BY(mutex_);
  bool stopDrain_ GUARDED_BY(mutex_) = false;
};

Road::Road() {
  base_ = plat::makeTempDir("road-");
  if (base_.empty()) return;
  runtime_ = base_ + "/rt";
  vbus_ = base_ + "/vbus";
  registry_ = runtime_ + "/registry.reg";
  plat::setEnvironment("LINKHUB_RUNTIME_DIR", runtime_);
  plat::setEnvironment("LINKHUB_REGISTRY", registry_);
  plat::setEnvironment("USBLINK_VBUS", vbus_);
  // The servers started here run headless unless a test asks for a display.
  plat::unsetEnvironment("DISPLAY");
  plat::unsetEnvironment("WAYLAND_DISPLAY");
  std::string made;
  if (plat::runtimeDir(&made) != 0) return;
  std::error_code ec;
  std::filesystem::create_directories(vbus_, ec);
  if (ec) return;
  std::filesystem::copy_file(E2E_REGISTRY_FILE, registry_, ec);
  if (ec) return;
  ok_ = true;
}

Road::~Road() {
  hosts_.clear();
  for (auto& sim : sims_)
    if (sim) sim->terminate(kWaitMs);
  if (hub_) hub_->terminate(kWaitMs);
  sims_.clear();
  hub_.reset();
  if (!base_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
}

std::string Road::linkhubPath() { return E2E_LINKHUB; }
std::string Road::devsimPath() { return E2E_DEVSIM; }
std::string Road::usblinkPath() { return E2E_USBLINK; }

HwId Road::makeHwId(uint8_t seed) {
  HwId id;
  for (int i = 0; i < 16; ++i) id.id[i] = uint8_t(seed + i);
  return id;
}

std::string Road::hexOf(const HwId& hwid) { return formatHwId(hwid); }

bool Road::startHub() { return startHub({}); }

bool Road::startHub(const std::vector<std::string>& envArgs) {
  if (!ok_ || hubRunning()) return false;
  hub_ = std::make_unique<Child>("linkhub");
  hubLines_.clear();
  // The shell and env exec the server in their process, so signals reach the
  // server; its standard error joins the output the road keeps.
  std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" 2>&1"};
  if (!envArgs.empty()) args.push_back("/usr/bin/env");
  args.insert(args.end(), envArgs.begin(), envArgs.end());
  args.push_back(linkhubPath());
  if (!hub_->start("/bin/sh", args)) return false;
  return eventually(
             [&] {
               bool ok = false;
               onlineDevices(&ok);
               return ok || !hub_->running();
             },
             kWaitMs) &&
         hub_->running();
}

bool Road::stopHub() {
  if (!hub_) return false;
  const int status = hub_->terminate(kWaitMs);
  hubLines_ = hub_->lines();
  hub_.reset();
  return status == 0;
}

bool Road::waitHubLine(const std::function<bool(const std::string&)>& match, int timeoutMs) {
  return hub_ && hub_->waitLine(match, timeoutMs);
}

std::vector<std::string> Road::hubLines() const { return hub_ ? hub_->lines() : hubLines_; }

bool Road::hubRunning() const { return hub_ && hub_->running(); }

int Road::hubPid() const { return hub_ ? hub_->pid() : -1; }

int Road::devsimPid(int sim) const {
  if (sim < 0 || size_t(sim) >= sims_.size() || !sims_[size_t(sim)]) return -1;
  return sims_[size_t(sim)]->pid();
}

int Road::startDevsim(const std::vector<Device>& devices,
                      const std::vector<std::string>& extraArgs) {
  if (!ok_ || devices.empty()) return -1;
  std::string ids, hwids;
  for (const Device& d : devices) {
    ids += (ids.empty() ? "" : ",") + d.id;
    hwids += (hwids.empty() ? "" : ",") + hexOf(d.hwid);
  }
  std::vector<std::string> args = {"--vbus", vbus_, "--id", ids, "--hwid", hwids};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  auto sim = std::make_unique<Child>("devsim " + ids);
  if (!sim->start(devsimPath(), args)) return -1;
  if (!sim->waitLine("devsim: ready", kWaitMs)) {
    sim->terminate(kWaitMs);
    return -1;
  }
  sims_.push_back(std::move(sim));
  simDevices_.push_back(devices);
  return int(sims_.size()) - 1;
}

bool Road::stopDevsim(int sim) {
  if (sim < 0 || size_t(sim) >= sims_.size() || !sims_[size_t(sim)]) return false;
  const int status = sims_[size_t(sim)]->terminate(kWaitMs);
  sims_[size_t(sim)].reset();
  bool filesGone = true;
  for (const Device& d : simDevices_[size_t(sim)])
    if (std::filesystem::exists(vbus_ + "/" + d.id + ".sock")) filesGone = false;
  return status == 0 && filesGone;
}

bool Road::killDevsim(int sim) {
  if (sim < 0 || size_t(sim) >= sims_.size() || !sims_[size_t(sim)]) return false;
  const int status = sims_[size_t(sim)]->kill();
  sims_[size_t(sim)].reset();
  return status >= 0;
}

devsim::DeviceHost* Road::plugDevice(const Device& device, devsim::HostOptions options,
                                     bool waitForOnline) {
  if (!ok_) return nullptr;
  options.vbusDir = vbus_;
  options.id = device.id;
  options.hwid = device.hwid;
  if (options.storageDir.empty()) options.storageDir = base_ + "/storage";
  auto host = std::make_unique<devsim::DeviceHost>(std::move(options));
  std::string error;
  if (!host->makeStorage(&error)) {
    std::cerr << "[road] " << error << "\n";
    return nullptr;
  }
  if (host->plugIn() != 0) return nullptr;
  if (waitForOnline && !waitOnline({device.hwid})) return nullptr;
  hosts_.push_back(std::move(host));
  return hosts_.back().get();
}

std::vector<HwId> Road::onlineDevices(bool* ok) const {
  TrIfTranClient client;
  uint32_t exception = 0;
  const bool done = client.bind() == 0 && client.getOnlineDevices(&exception) == 0;
  if (ok) *ok = done;
  return done ? client.deviceList() : std::vector<HwId>{};
}

bool Road::waitOnline(const std::vector<HwId>& ids, bool present, int timeoutMs) const {
  return eventually(
      [&] {
        bool ok = false;
        const std::vector<HwId> listed = onlineDevices(&ok);
        if (!ok) return false;
        for (const HwId& id : ids) {
          const bool found = std::find(listed.begin(), listed.end(), id) != listed.end();
          if (found != present) return false;
        }
        return true;
      },
      timeoutMs);
}

}  // namespace e2e
