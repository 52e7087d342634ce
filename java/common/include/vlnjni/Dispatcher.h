// The dispatcher thread of a binding with a callbacks class: the only thread
// that calls the callbacks object, one event at a time, each call holding
// the object's monitor.
//
// - Attached as a daemon named after the module (a Java program that used a
//   callback binding must still end when main returns); start() waits for
//   the attach and throws WrapperError("Error: dispatcher attach failed")
//   when it did not happen.
// - Holds the callbacks object and its class only through weak global
//   references (the strong one lives in a static field of the natives class),
//   so a dropped class loader can be collected and JNI_OnUnload run; each
//   use checks the weak reference first.
// - Method ids are looked up once, in start(), on the loading thread; a
//   missing method leaves the JVM's NoSuchMethodError pending (JavaPending).
// - Each event runs in its own local frame; any Java exception left pending
//   by a callback or a JNI call is described and cleared, and the next event
//   is delivered.
// - A WrapperError (or std::string) thrown by the event switch goes to the
//   callbacks object's handleNativeException(text, module, id); any other
//   exception to handleNativeGenericException(new java.lang.Exception(
//   describeException text)); both without the object's monitor.
#pragma once

#include <jni.h>

#include <cstdarg>
#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "vlnjni/Errors.h"
#include "vlnjni/EventQueue.h"
#include "vlnjni/Module.h"

namespace vlnjni {

class JavaDispatcher {
 public:
  struct Method {
    const char* name;
    const char* descriptor;
  };

  // What the event switch may use while one event is delivered.
  class Context {
   public:
    JNIEnv* env() const { return env_; }
    const Module& module() const { return module_; }
    const Bytes& id() const { return id_; }
    // A new byte[] of the id (a local reference of the event's frame).
    jbyteArray idArray() { return newByteArray(env_, id_.data(), id_.size()); }
    jbyteArray bytes(const void* data, std::size_t size) { return newByteArray(env_, data, size); }
    // Calls callback method `index` (the order given to start()) with the
    // callbacks object's monitor held. A Java exception it throws is
    // described and cleared; the call still counts as made.
    void call(std::size_t index, ...);

   private:
    friend class JavaDispatcher;
    Context(JNIEnv* env, const Module& module, jobject callbacks,
            const std::vector<jmethodID>& methods, Bytes id)
        : env_(env),
          module_(module),
          callbacks_(callbacks),
          methods_(methods),
          id_(std::move(id)) {}

    JNIEnv* env_;
    const Module& module_;
    jobject callbacks_;
    const std::vector<jmethodID>& methods_;
    Bytes id_;
  };

  // The binding's event switch: turns one event into callback calls.
  using Switch = void (*)(Context& context, NativeEvent& event);

  // On the loading thread. Throws JavaPending (a JNI failure or missing
  // method, the JVM's error pending) or WrapperError (attach failed); in
  // both cases nothing is left running.
  static std::unique_ptr<JavaDispatcher> start(JNIEnv* env, const Module& module, jobject callbacks,
                                               std::vector<Method> methods, Switch eventSwitch);
  // start() on the binding's one callbacks object, made here from
  // `callbacksClass` (binary name with slashes); the one strong reference
  // goes to the static field `callbacks` (of type `holderType`) of
  // `nativesClass`, so the class loader can go. Throws as start() does.
  static std::unique_ptr<JavaDispatcher> startWithCallbacks(
      JNIEnv* env, const Module& module, const char* callbacksClass, const char* nativesClass,
      const char* holderType, std::vector<Method> methods, Switch eventSwitch);
  // stop(), then the weak references are released (when this thread is
  // attached; at process exit nothing is destroyed anyway).
  ~JavaDispatcher();
  JavaDispatcher(const JavaDispatcher&) = delete;
  JavaDispatcher& operator=(const JavaDispatcher&) = delete;

  EventQueue& queue() { return queue_; }
  // Ends the thread (it detaches) and discards queued events. Not from the
  // dispatcher thread itself.
  void stop();

 private:
  JavaDispatcher(JavaVM* vm, const Module& module, Switch eventSwitch)
      : vm_(vm), module_(module), switch_(eventSwitch) {}
  void run(std::promise<bool>* attached);
  void deliver(JNIEnv* env, NativeEvent& event);
  void report(JNIEnv* env, jobject callbacks, const Bytes& id) noexcept;

  JavaVM* vm_;
  const Module& module_;
  Switch switch_;
  EventQueue queue_;
  jweak callbacks_ = nullptr;
  jweak class_ = nullptr;
  std::vector<jmethodID> methods_;
  jmethodID handleNativeException_ = nullptr;
  jmethodID handleNativeGenericException_ = nullptr;
  std::thread thread_;
};

// The process-wide event lock and the binding's current dispatcher: the
// library callback posts through it, and unload takes the dispatcher out
// under the same lock, so a late library callback finds none.
class DispatcherSlot {
 public:
  // On a library thread: queues the event, or drops it when no dispatcher.
  void post(std::unique_ptr<NativeEvent> event);
  void publish(JavaDispatcher* dispatcher);
  JavaDispatcher* current();
  // The current dispatcher's event queue, or null when there is none.
  EventQueue* queue();
  // Removes and returns the dispatcher (the caller stops and frees it).
  JavaDispatcher* take();

 private:
  std::mutex lock_;
  JavaDispatcher* dispatcher_ = nullptr;
};

}  // namespace vlnjni
