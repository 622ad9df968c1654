#include "services/stream_redirector.h"

#include <jni.h>

#include "common/never_destroyed.h"
#include "config/debug_log.h"
#include "config/paths.h"
#include "platform/files.h"
#include "jni/exceptions.h"
#include "jni/local_ref.h"

namespace hux {

namespace {

using platform::StdStream;

}  // namespace

bool isCommandTarget(const ByteString& value) { return !value.empty() && value[0] == '|'; }

StreamRedirector::~StreamRedirector() { restore(); }

RedirectTarget& StreamRedirector::targetFor(const ByteString& value) {
    for (int32_t i = 0; i < targets_.size(); ++i)
        if (targets_[i]->value == value) return *targets_[i];
    auto* target = new RedirectTarget;
    target->value = value;
    const platform::Status opened = isCommandTarget(value) ? target->output.startCommand(value.c_str() + 1)
                                                           : target->output.openFile(value.c_str());
    if (!opened) debugLog("output not redirected: %s", opened.text());
    targets_.push(target);
    return *target;
}

void StreamRedirector::redirect(StdStream which, const ByteString& value) {
    StreamState& stream = state(which);
    const RedirectTarget& target = targetFor(value);
    stream.targetHandle = target.output.handle();
    if (!target.output.isOpen() || stream.saved.active) return;
    if (const platform::Status pointed = platform::pointStdStream(which, target.output, stream.saved); !pointed) {
        debugLog("output not redirected: %s", pointed.text());
        return;
    }
    stream.needsJava = !platform::stdStreamIs(which, target.output);
}

void StreamRedirector::restore() {
    // Standard handles first, so that nothing is written to a closed target.
    platform::flushStdStreams();
    platform::restoreStdStream(StdStream::Error, err_.saved);
    platform::restoreStdStream(StdStream::Output, out_.saved);
    for (int32_t i = 0; i < targets_.size(); ++i) delete targets_[i];
    targets_.clear();
    out_ = StreamState{};
    err_ = StreamState{};
}

void StreamRedirector::installJavaRedirect(JNIEnv_* jniEnv) {
    if (!out_.needsJava && !err_.needsJava) return;
    JNIEnv* env = jniEnv;
    using jni::LocalRef;
    LocalRef<jclass> redirClass(env, env->FindClass("com/mordavin/hux/RedirOutputStream"));
    jmethodID redirInit = redirClass ? env->GetMethodID(redirClass.get(), "<init>", "()V") : nullptr;
    jfieldID handleField = redirInit ? env->GetFieldID(redirClass.get(), "h", "J") : nullptr;
    LocalRef<jclass> printClass(env, handleField ? env->FindClass("java/io/PrintStream") : nullptr);
    jmethodID printInit =
        printClass ? env->GetMethodID(printClass.get(), "<init>", "(Ljava/io/OutputStream;)V") : nullptr;
    LocalRef<jclass> systemClass(env, printInit ? env->FindClass("java/lang/System") : nullptr);
    jmethodID setOut =
        systemClass ? env->GetStaticMethodID(systemClass.get(), "setOut", "(Ljava/io/PrintStream;)V") : nullptr;
    jmethodID setErr =
        setOut ? env->GetStaticMethodID(systemClass.get(), "setErr", "(Ljava/io/PrintStream;)V") : nullptr;
    // Without the support class or one of its members nothing is installed.
    env->ExceptionClear();
    if (setErr) {
        const struct {
            bool wanted;
            intptr_t handle;
            jmethodID setter;
        } streams[] = {{out_.needsJava, out_.targetHandle, setOut}, {err_.needsJava, err_.targetHandle, setErr}};
        for (const auto& s : streams) {
            if (!s.wanted) continue;
            LocalRef<> raw(env, env->NewObject(redirClass.get(), redirInit));
            if (raw) env->SetLongField(raw.get(), handleField, static_cast<jlong>(s.handle));
            LocalRef<> print(env, raw ? env->NewObject(printClass.get(), printInit, raw.get()) : nullptr);
            if (print) env->CallStaticVoidMethod(systemClass.get(), s.setter, print.get());
            jni::reportPendingException(env);
        }
    }
}

// Built on first use and never destroyed: Java threads may still write to the
// standard streams while the process exits, and must find them pointing at
// open targets, not at handles closed (and perhaps reused) by a destructor.
StreamRedirector& streamRedirector() {
    static NeverDestroyed<StreamRedirector> processRedirector;
    return *processRedirector;
}

namespace {

// A file made or appended to in a directory beside the executable that
// another user could write to (or own) may be theirs already: a link to the
// user's own files, or a file they read. Such a target is not opened; the
// stream stays where it is.
bool targetDirectoryTrusted(const ByteString& value, const LaunchConfig& config) {
    if (isCommandTarget(value)) return true;
    char buffer[platform::kPathMax];
    const int32_t n = resolveAgainst(config.workDir().c_str(), value.c_str(), buffer, platform::kPathMax);
    if (n <= 0 || n >= platform::kPathMax) return true;  // opening fails as well
    const ByteString target(buffer, n);
    ByteString directory = directoryOf(target.view());
    if (directory.length() > 1 && (directory.back() == '/' || directory.back() == '\\') &&
        directory[directory.length() - 2] != ':')
        directory.resize(directory.length() - 1);
    if (directory.empty() || !platform::isDirectory(directory.c_str()) || !liesBesideExecutable(config, directory))
        return true;
    return trustedBesideExecutable(config, target, "redirection target", &directory);
}

}  // namespace

void redirectStderr(const ByteString& value, const LaunchConfig& config) {
    if (targetDirectoryTrusted(value, config)) streamRedirector().redirect(StdStream::Error, value);
}
void redirectStdout(const ByteString& value, const LaunchConfig& config) {
    if (targetDirectoryTrusted(value, config)) streamRedirector().redirect(StdStream::Output, value);
}
void installJavaRedirect(JNIEnv_* env) { streamRedirector().installJavaRedirect(env); }

}  // namespace hux
