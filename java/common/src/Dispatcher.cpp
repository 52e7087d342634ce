#include "vlnjni/Dispatcher.h"

#include <future>
#include <stdexcept>
#include <string>

#include "plat/thread.h"
#include "vlnjni/Load.h"
#include "vlnjni/Text.h"

namespace vlnjni {
namespace {

void describeAndClear(JNIEnv* env) {
  if (!env->ExceptionCheck()) return;
  env->ExceptionDescribe();
  env->ExceptionClear();
}

// The attached thread's context class loader would be the loader of whatever
// Java code ran last on it; none keeps the application's loader alive.
void dropContextLoader(JNIEnv* env) {
  jclass threadClass = env->FindClass("java/lang/Thread");
  if (!threadClass) return describeAndClear(env);
  jmethodID current = env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;");
  jmethodID setLoader =
      env->GetMethodID(threadClass, "setContextClassLoader", "(Ljava/lang/ClassLoader;)V");
  if (current && setLoader) {
    jobject self = env->CallStaticObjectMethod(threadClass, current);
    if (self && !env->ExceptionCheck()) {
      env->CallVoidMethod(self, setLoader, static_cast<jobject>(nullptr));
      env->DeleteLocalRef(self);
    }
  }
  describeAndClear(env);
  env->DeleteLocalRef(threadClass);
}

}  // namespace

void JavaDispatcher::Context::call(std::size_t index, ...) {
  if (index >= methods_.size() || !methods_[index]) return;
  if (env_->ExceptionCheck()) throw JavaPending{};
  if (env_->MonitorEnter(callbacks_) != JNI_OK) throw JavaPending{};
  va_list args;
  va_start(args, index);
  env_->CallVoidMethodV(callbacks_, methods_[index], args);
  va_end(args);
  // MonitorExit is allowed with an exception pending.
  env_->MonitorExit(callbacks_);
  describeAndClear(env_);
}

std::unique_ptr<JavaDispatcher> JavaDispatcher::startWithCallbacks(
    JNIEnv* env, const Module& module, const char* callbacksClass, const char* nativesClass,
    const char* holderType, std::vector<Method> methods, Switch eventSwitch) {
  jclass made = env->FindClass(callbacksClass);
  if (!made) throw JavaPending{};
  jmethodID init = env->GetMethodID(made, "<init>", "()V");
  if (!init) throw JavaPending{};
  jobject callbacks = env->NewObject(made, init);
  if (!callbacks) throw JavaPending{};
  std::unique_ptr<JavaDispatcher> dispatcher =
      start(env, module, callbacks, std::move(methods), eventSwitch);
  jclass natives = env->FindClass(nativesClass);
  if (!natives) throw JavaPending{};
  jfieldID holder = env->GetStaticFieldID(natives, "callbacks", holderType);
  if (!holder) throw JavaPending{};
  env->SetStaticObjectField(natives, holder, callbacks);
  checkJava(env);
  return dispatcher;
}

std::unique_ptr<JavaDispatcher> JavaDispatcher::start(JNIEnv* env, const Module& module,
                                                      jobject callbacks,
                                                      std::vector<Method> methods,
                                                      Switch eventSwitch) {
  JavaVM* vm = nullptr;
  if (env->GetJavaVM(&vm) != JNI_OK) throw std::runtime_error("GetJavaVM failed");
  std::unique_ptr<JavaDispatcher> self(new JavaDispatcher(vm, module, eventSwitch));
  jclass cls = env->GetObjectClass(callbacks);
  if (!cls) throw JavaPending{};
  struct ClassRef {
    JNIEnv* env;
    jclass cls;
    ~ClassRef() { env->DeleteLocalRef(cls); }
  } classRef{env, cls};
  for (const Method& m : methods) {
    jmethodID id = env->GetMethodID(cls, m.name, m.descriptor);
    if (!id) throw JavaPending{};
    self->methods_.push_back(id);
  }
  self->handleNativeException_ =
      env->GetMethodID(cls, "handleNativeException", "(Ljava/lang/String;Ljava/lang/String;[B)V");
  if (!self->handleNativeException_) throw JavaPending{};
  self->handleNativeGenericException_ =
      env->GetMethodID(cls, "handleNativeGenericException", "(Ljava/lang/Exception;)V");
  if (!self->handleNativeGenericException_) throw JavaPending{};
  self->callbacks_ = env->NewWeakGlobalRef(callbacks);
  if (!self->callbacks_) {
    checkJava(env);
    throw std::bad_alloc();
  }
  self->class_ = env->NewWeakGlobalRef(cls);
  if (!self->class_) {
    checkJava(env);
    throw std::bad_alloc();
  }
  std::promise<bool> attached;
  std::future<bool> done = attached.get_future();
  JavaDispatcher* raw = self.get();
  self->thread_ = std::thread([raw, &attached] { raw->run(&attached); });
  if (!done.get()) {
    self->thread_.join();
    throw WrapperError("Error: dispatcher attach failed");
  }
  return self;
}

JavaDispatcher::~JavaDispatcher() {
  stop();
  if (JNIEnv* env = envOf(vm_)) {
    if (callbacks_) env->DeleteWeakGlobalRef(callbacks_);
    if (class_) env->DeleteWeakGlobalRef(class_);
  }
}

void JavaDispatcher::stop() {
  queue_.stop();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void JavaDispatcher::run(std::promise<bool>* attached) {
  JNIEnv* env = nullptr;
  JavaVMAttachArgs args{kJniVersion, const_cast<char*>(module_.name), nullptr};
  if (vm_->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), &args) != JNI_OK || !env) {
    attached->set_value(false);
    return;
  }
  plat::setCurrentThreadName(module_.name);
  dropContextLoader(env);
  attached->set_value(true);  // `attached` is gone after this
  while (auto event = queue_.pop()) {
    if (env->PushLocalFrame(16) != JNI_OK) {
      describeAndClear(env);
      continue;
    }
    deliver(env, *event);
    describeAndClear(env);
    env->PopLocalFrame(nullptr);
  }
  vm_->DetachCurrentThread();
}

void JavaDispatcher::deliver(JNIEnv* env, NativeEvent& event) {
  // The strong reference lives in Java; once it is gone there is nobody to
  // call.
  jobject callbacks = env->NewLocalRef(callbacks_);
  if (!callbacks) return describeAndClear(env);
  Context context(env, module_, callbacks, methods_, queue_.deliveryId(event));
  try {
    switch_(context, event);
  } catch (...) {
    report(env, callbacks, context.id());
  }
}

void JavaDispatcher::report(JNIEnv* env, jobject callbacks, const Bytes& id) noexcept {
  std::string text;
  bool wrapper = false;
  try {
    throw;
  } catch (const WrapperError& e) {
    text = e.text();
    wrapper = true;
  } catch (const std::string& s) {
    text = s;
    wrapper = true;
  } catch (const JavaPending&) {
    return describeAndClear(env);
  } catch (const std::exception& e) {
    text = describeException(module_.name, e.what(), id);
  } catch (...) {
    text = describeException(module_.name, "unknown", id);
  }
  describeAndClear(env);
  // The error methods are called without the callbacks object's monitor.
  try {
    if (wrapper) {
      jstring jtext = newString(env, text);
      jstring jmodule = newString(env, module_.name);
      jbyteArray jid = newByteArray(env, id.data(), id.size());
      env->CallVoidMethod(callbacks, handleNativeException_, jtext, jmodule, jid);
    } else {
      jclass exceptionClass = env->FindClass("java/lang/Exception");
      jmethodID init = exceptionClass
                           ? env->GetMethodID(exceptionClass, "<init>", "(Ljava/lang/String;)V")
                           : nullptr;
      if (init) {
        jstring jtext = newString(env, text);
        jobject error = env->NewObject(exceptionClass, init, jtext);
        if (error) env->CallVoidMethod(callbacks, handleNativeGenericException_, error);
      }
    }
  } catch (...) {
    // A conversion failed: its Java exception is pending and described below.
  }
  describeAndClear(env);
}

void DispatcherSlot::post(std::unique_ptr<NativeEvent> event) {
  std::lock_guard<std::mutex> lock(lock_);
  if (dispatcher_) dispatcher_->queue().push(std::move(event));
}

void DispatcherSlot::publish(JavaDispatcher* dispatcher) {
  std::lock_guard<std::mutex> lock(lock_);
  dispatcher_ = dispatcher;
}

JavaDispatcher* DispatcherSlot::current() {
  std::lock_guard<std::mutex> lock(lock_);
  return dispatcher_;
}

EventQueue* DispatcherSlot::queue() {
  JavaDispatcher* d = current();
  return d ? &d->queue() : nullptr;
}

JavaDispatcher* DispatcherSlot::take() {
  std::lock_guard<std::mutex> lock(lock_);
  JavaDispatcher* d = dispatcher_;
  dispatcher_ = nullptr;
  return d;
}

}  // namespace vlnjni
