// The Node-API face of the library: its calls, its constants, and its one-caller rules kept here.
//
// The library takes its probe from one thread at a time and its session calls from one thread at a time, and
// lets a probe run beside the session calls. probe and free can block (a silent server, a worker being
// joined), so they run on libuv's thread pool; the other calls return at once and run on the JS thread. Each
// group has its own lock, so a slow probe never holds up the calls that start and watch extractions.
#include <napi.h>

#include <cstring>
#include <mutex>
#include <string>

#include "audioextract.h"
#include "library.h"

namespace {

constexpr size_t kMaxAlloc = 64u << 20;  // FFmpeg's largest single allocation: a forged size asks for more

const ae_calls *lib = nullptr;
std::mutex probe_lock;
std::mutex session_lock;

const ae_calls &loaded(Napi::Env env)
{
    if (!lib)
        throw Napi::Error::New(env, "the audioextract library is not loaded");
    return *lib;
}

// A path argument: a Buffer of its bytes (the package encodes strings as UTF-8), without a NUL inside.
std::string path_arg(const Napi::CallbackInfo &info, size_t i)
{
    if (!info[i].IsBuffer())
        throw Napi::TypeError::New(info.Env(), "a path must reach the addon as a Buffer");
    auto b = info[i].As<Napi::Buffer<char>>();
    std::string s(b.Data(), b.Length());
    if (s.find('\0') != std::string::npos)
        throw Napi::TypeError::New(info.Env(), "a path holds a NUL byte");
    return s;
}

int32_t id_arg(const Napi::CallbackInfo &info, size_t i)
{
    if (!info[i].IsNumber())
        throw Napi::TypeError::New(info.Env(), "a session id must be a number");
    return info[i].As<Napi::Number>().Int32Value();
}

// Texts are copied while the lock that guards their buffer is held.
Napi::Buffer<char> bytes(Napi::Env env, const char *text)
{
    return Napi::Buffer<char>::Copy(env, text, std::strlen(text));
}

Napi::Value load(const Napi::CallbackInfo &info)
{
    if (!info[0].IsString())
        throw Napi::TypeError::New(info.Env(), "load takes the module's path");
    std::string error;
    lib = ae_library_load(info[0].As<Napi::String>().Utf8Value(), kMaxAlloc, &error);
    if (!lib)
        throw Napi::Error::New(info.Env(), "cannot load the audioextract library: " + error);
    return Napi::String::New(info.Env(), lib->version());
}

// A call on the thread pool whose outcome is a Buffer or nothing.
class PoolCall : public Napi::AsyncWorker {
public:
    enum class Kind { probe, free };
    PoolCall(Napi::Env env, Kind kind, std::string path, int32_t id)
        : Napi::AsyncWorker(env, kind == Kind::probe ? "audioextract.probe" : "audioextract.free"),
          deferred_(Napi::Promise::Deferred::New(env)), kind_(kind), path_(std::move(path)), id_(id)
    {
    }
    Napi::Promise promise() { return deferred_.Promise(); }

protected:
    void Execute() override
    {
        if (kind_ == Kind::probe) {
            std::lock_guard<std::mutex> hold(probe_lock);
            text_ = lib->probe(path_.c_str());
        } else {
            std::lock_guard<std::mutex> hold(session_lock);
            lib->free(id_);
        }
    }
    void OnOK() override
    {
        if (kind_ == Kind::probe)
            deferred_.Resolve(Napi::Buffer<char>::Copy(Env(), text_.data(), text_.size()));
        else
            deferred_.Resolve(Env().Undefined());
    }
    void OnError(const Napi::Error &e) override { deferred_.Reject(e.Value()); }

private:
    Napi::Promise::Deferred deferred_;
    Kind kind_;
    std::string path_;
    int32_t id_;
    std::string text_;
};

Napi::Value probe(const Napi::CallbackInfo &info)
{
    loaded(info.Env());
    auto *call = new PoolCall(info.Env(), PoolCall::Kind::probe, path_arg(info, 0), 0);
    Napi::Promise p = call->promise();
    call->Queue();  // the worker deletes itself once settled
    return p;
}

Napi::Value free_async(const Napi::CallbackInfo &info)
{
    loaded(info.Env());
    auto *call = new PoolCall(info.Env(), PoolCall::Kind::free, {}, id_arg(info, 0));
    Napi::Promise p = call->promise();
    call->Queue();
    return p;
}

// For the process's exit, when nothing asynchronous runs any more: cancel and free at once.
Napi::Value free_now(const Napi::CallbackInfo &info)
{
    const ae_calls &l = loaded(info.Env());
    int32_t id = id_arg(info, 0);
    std::lock_guard<std::mutex> hold(session_lock);
    l.cancel(id);
    l.free(id);
    return info.Env().Undefined();
}

Napi::Value start(const Napi::CallbackInfo &info)
{
    const ae_calls &l = loaded(info.Env());
    std::string in = path_arg(info, 0), out = path_arg(info, 1);
    int32_t stream = id_arg(info, 2);
    std::lock_guard<std::mutex> hold(session_lock);
    return Napi::Number::New(info.Env(), l.start(in.c_str(), out.c_str(), stream));
}

Napi::Value status(const Napi::CallbackInfo &info)
{
    const ae_calls &l = loaded(info.Env());
    int32_t id = id_arg(info, 0);
    std::lock_guard<std::mutex> hold(session_lock);
    return Napi::Number::New(info.Env(), l.status(id));
}

Napi::Value progress(const Napi::CallbackInfo &info)
{
    const ae_calls &l = loaded(info.Env());
    int32_t id = id_arg(info, 0);
    std::lock_guard<std::mutex> hold(session_lock);
    return Napi::String::New(info.Env(), l.progress(id));  // numbers only: always UTF-8
}

Napi::Value result(const Napi::CallbackInfo &info)
{
    const ae_calls &l = loaded(info.Env());
    int32_t id = id_arg(info, 0);
    std::lock_guard<std::mutex> hold(session_lock);
    return bytes(info.Env(), l.result(id));  // holds the output path's bytes as they are
}

Napi::Value cancel(const Napi::CallbackInfo &info)
{
    const ae_calls &l = loaded(info.Env());
    int32_t id = id_arg(info, 0);
    std::lock_guard<std::mutex> hold(session_lock);
    l.cancel(id);
    return info.Env().Undefined();
}

Napi::Value set_log_level(const Napi::CallbackInfo &info)
{
    return Napi::Boolean::New(info.Env(), ae_library_log_level(id_arg(info, 0)));
}

Napi::Value set_max_alloc(const Napi::CallbackInfo &info)
{
    if (!info[0].IsNumber() || info[0].As<Napi::Number>().DoubleValue() < 1)
        throw Napi::TypeError::New(info.Env(), "setMaxAlloc takes a positive number of bytes");
    return Napi::Boolean::New(info.Env(),
                              ae_library_max_alloc(static_cast<size_t>(info[0].As<Napi::Number>().DoubleValue())));
}

Napi::Object init(Napi::Env env, Napi::Object exports)
{
    auto fn = [&](const char *name, Napi::Function::Callback cb) {
        exports.Set(name, Napi::Function::New(env, cb, name));
    };
    fn("load", load);
    fn("probe", probe);
    fn("start", start);
    fn("status", status);
    fn("progress", progress);
    fn("result", result);
    fn("cancel", cancel);
    fn("free", free_async);
    fn("freeNow", free_now);
    fn("setLogLevel", set_log_level);
    fn("setMaxAlloc", set_max_alloc);

    // The header's numbers and texts, so the package restates none of them.
    Napi::Object c = Napi::Object::New(env);
    c.Set("MAX_SESSIONS", AE_MAX_SESSIONS);
    c.Set("MAX_PATH_BYTES", AE_MAX_PATH_BYTES);
    c.Set("ERR_BAD_PATH", AE_ERR_BAD_PATH);
    c.Set("ERR_NO_SLOT", AE_ERR_NO_SLOT);
    c.Set("ERR_THREAD", AE_ERR_THREAD);
    c.Set("STATE_PENDING", AE_STATE_PENDING);
    c.Set("STATE_RUNNING", AE_STATE_RUNNING);
    c.Set("STATE_DONE", AE_STATE_DONE);
    c.Set("STATE_CANCELLED", AE_STATE_CANCELLED);
    c.Set("STATE_FAILED", AE_STATE_FAILED);
    exports.Set("constants", c);

    Napi::Object texts = Napi::Object::New(env);
    texts.Set("OPEN_INPUT", AE_TEXT_OPEN_INPUT);
    texts.Set("NO_STREAM_INFO", AE_TEXT_NO_STREAM_INFO);
    texts.Set("NO_AUDIO_STREAM", AE_TEXT_NO_AUDIO_STREAM);
    texts.Set("READ_FAILED", AE_TEXT_READ_FAILED);
    texts.Set("FORMAT_CHANGES", AE_TEXT_FORMAT_CHANGES);
    texts.Set("BAD_EXTENSION", AE_TEXT_BAD_EXTENSION);
    texts.Set("NEW_STREAM", AE_TEXT_NEW_STREAM);
    texts.Set("PARAM_COPY", AE_TEXT_PARAM_COPY);
    texts.Set("OPEN_OUTPUT", AE_TEXT_OPEN_OUTPUT);
    texts.Set("WRITE_HEADER", AE_TEXT_WRITE_HEADER);
    texts.Set("WRITE_FRAME", AE_TEXT_WRITE_FRAME);
    texts.Set("WRITE_TRAILER", AE_TEXT_WRITE_TRAILER);
    texts.Set("RENAME", AE_TEXT_RENAME);
    texts.Set("NO_MEMORY", AE_TEXT_NO_MEMORY);
    exports.Set("texts", texts);

    const char *input_texts[] = {AE_INPUT_TEXTS};
    Napi::Array inputs = Napi::Array::New(env);
    for (uint32_t i = 0; i < sizeof input_texts / sizeof *input_texts; ++i)
        inputs.Set(i, input_texts[i]);
    exports.Set("inputTexts", inputs);
    return exports;
}

}  // namespace

NODE_API_MODULE(audioextract, init)
