// Entry reads straight into a new Java byte array.
#pragma once

#include <jni.h>

#include "archive/archive_store.h"

namespace hux {

class JavaByteArraySink : public ByteArraySink {
public:
    explicit JavaByteArraySink(JNIEnv* env) : env_(env) {}
    bool create(int32_t size) override {
        array_ = env_->NewByteArray(size);
        elements_ = nullptr;
        return array_ != nullptr;
    }
    uint8_t* elements() override {
        elements_ = env_->GetByteArrayElements(array_, nullptr);
        return reinterpret_cast<uint8_t*>(elements_);
    }
    void commit(bool ok) override {
        if (elements_) env_->ReleaseByteArrayElements(array_, elements_, ok ? 0 : JNI_ABORT);
        elements_ = nullptr;
        if (!ok && array_) {
            env_->DeleteLocalRef(array_);
            array_ = nullptr;
        }
    }
    // The array of the last successful read, or null.
    jbyteArray take() {
        jbyteArray a = array_;
        array_ = nullptr;
        return a;
    }

private:
    JNIEnv* env_;
    jbyteArray array_ = nullptr;
    jbyte* elements_ = nullptr;
};

// Reads `name` from the root store: null when it resolves nowhere.
inline jbyteArray readEntryArray(JNIEnv* env, const ByteString& name, bool searchNested) {
    JavaByteArraySink sink(env);
    if (!rootArchive().store().readEntry(sink, name.view(), searchNested)) return nullptr;
    return sink.take();
}

}  // namespace hux
