#include "tool/windows/signing.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

#include "platform/environment.h"
#include "platform/run_program.h"
#include "tool/payload/file_names.h"

namespace fs = std::filesystem;

namespace hux::tool {

namespace {

bool onWindowsHost(const SignRequest& request) { return request.hostTarget == "windows-x64"; }

std::string installAdvice(const SignRequest& request) {
    return onWindowsHost(request) ? "signing needs osslsigncode or signtool (Windows SDK) on PATH"
                                  : "signing needs osslsigncode (apt install osslsigncode)";
}

// The shell's code for a command it did not find, or the system's for a
// program that is not there.
bool notFound(const platform::Result<int>& run) { return run ? run.value() == 127 : run.status().code() == ENOENT; }

// Why `tool` did not sign: its exit code, or why it did not run.
std::string signingFailure(const std::string& tool, const platform::Result<int>& run) {
    if (!run) return run.status().message();
    return tool + " could not sign the executable (exit " + std::to_string(run.value()) + ")";
}

// A pass phrase from the environment, written where only this user can read
// it, for the tool's -readpass; removed with its folder when signing ends.
class PassFile {
public:
    ~PassFile() {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    bool write(const std::string& phrase, std::string& error) {
        std::error_code ec;
        std::random_device random;
        for (int attempt = 0; attempt < 8 && dir_.empty(); ++attempt) {
            const fs::path dir = fs::temp_directory_path(ec) / ("hux-sign-" + std::to_string(random()));
            if (!ec && fs::create_directory(dir, ec)) dir_ = dir;
        }
        fs::permissions(dir_, fs::perms::owner_all, ec);
        if (dir_.empty() || ec) {
            error = "cannot keep the pass phrase in a private temporary folder";
            return false;
        }
        std::ofstream out(dir_ / "pass", std::ios::binary);
        out << phrase;
        if (!out.flush()) {
            error = "cannot keep the pass phrase in a private temporary folder";
            return false;
        }
        return true;
    }
    std::string path() const { return textOf(dir_ / "pass"); }

private:
    fs::path dir_;
};

// Where the pass phrase comes from as osslsigncode's -readpass takes it.
bool passPhraseFile(const SignRequest& request, PassFile& holder, std::string& path, std::string& error) {
    std::error_code ec;
    if (!request.passFile.empty()) {
        if (!fs::is_regular_file(pathOf(request.passFile), ec)) {
            error = "cannot read the pass phrase file '" + request.passFile + "'";
            return false;
        }
        path = request.passFile;
        return true;
    }
    if (request.passEnv.empty()) return true;
    ByteString value;
    if (!platform::getEnv(request.passEnv.c_str(), value)) {
        error = "the environment variable " + request.passEnv + " named by --sign-pass-env is not set";
        return false;
    }
    if (!holder.write(std::string(value.view()), error)) return false;
    path = holder.path();
    return true;
}

std::vector<std::string> osslsigncodeCommand(const SignRequest& request, const std::string& passPath,
                                             const std::string& in, const std::string& out) {
    std::vector<std::string> argv = {"osslsigncode", "sign"};
    if (isPkcs12(request.key)) {
        argv.insert(argv.end(), {"-pkcs12", request.key});
    } else {
        argv.insert(argv.end(), {"-certs", request.cert, "-key", request.key});
    }
    if (!passPath.empty()) argv.insert(argv.end(), {"-readpass", passPath});
    if (!request.timestampUrl.empty()) argv.insert(argv.end(), {"-ts", request.timestampUrl});
    argv.insert(argv.end(), {"-h", "sha256", "-in", in, "-out", out});
    return argv;
}

// The signing tool's output, kept from the packer's own standard output, goes
// to standard error when it failed.
void showOutput(const std::string& logPath) {
    std::ifstream in(pathOf(logPath), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::fflush(stderr);
}

platform::Result<int> runQuietly(const std::vector<std::string>& argv, const std::string& logPath) {
    platform::Result<int> run = platform::runProgramToFile(argv, logPath);
    if (run && run.value() > 0) showOutput(logPath);
    std::error_code ec;
    fs::remove(pathOf(logPath), ec);
    return run;
}

// signtool on a Windows host without osslsigncode: it signs in place, from a
// PKCS#12 file, and takes a pass phrase only on its command line.
bool signWithSigntool(const std::string& path, const SignRequest& request, const std::string& logPath,
                      std::string& error) {
    if (!isPkcs12(request.key)) {
        error =
            "signing a PEM key needs osslsigncode on PATH (signtool takes a PKCS#12 .pfx only: make one "
            "with openssl pkcs12 -export)";
        return false;
    }
    if (!request.passFile.empty() || !request.passEnv.empty()) {
        error =
            "signtool takes a pass phrase only on its command line: install osslsigncode to sign with an "
            "encrypted key from a file or the environment";
        return false;
    }
    std::vector<std::string> argv = {"signtool", "sign", "/fd", "sha256", "/f", request.key};
    if (!request.timestampUrl.empty()) argv.insert(argv.end(), {"/tr", request.timestampUrl, "/td", "sha256"});
    argv.push_back(path);
    const platform::Result<int> run = runQuietly(argv, logPath);
    if (run && run.value() == 0) return true;
    error = notFound(run) ? installAdvice(request) : signingFailure("signtool", run);
    return false;
}

}  // namespace

bool isPkcs12(const std::string& path) {
    std::string ext = textOf(pathOf(path).extension());
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".pfx" || ext == ".p12";
}

std::string signRequestProblem(const SignRequest& request) {
    if (!request.key.empty() && isPkcs12(request.key)) {
        if (!request.cert.empty()) return "a PKCS#12 key holds its certificate: drop --sign-cert";
    } else if (request.key.empty() != request.cert.empty()) {
        return "signing needs both --sign-key and --sign-cert (or a .pfx or .p12 --sign-key alone)";
    }
    if (!request.passFile.empty() && !request.passEnv.empty())
        return "--sign-pass-file and --sign-pass-env exclude each other";
    if (!request.key.empty()) return {};
    if (!request.passFile.empty() || !request.passEnv.empty() || !request.timestampUrl.empty())
        return "--sign-pass-file, --sign-pass-env and --timestamp need --sign-key";
    return {};
}

bool signExecutable(const std::string& path, const SignRequest& request, std::string& error) {
    std::error_code ec;
    for (const std::string& input : {request.key, request.cert})
        if (!input.empty() && !fs::is_regular_file(pathOf(input), ec)) {
            error = "cannot read '" + input + "' for signing";
            return false;
        }
    PassFile holder;
    std::string passPath;
    if (!passPhraseFile(request, holder, passPath, error)) return false;
    const std::string signedPath = path + ".signed";
    const std::string logPath = path + ".sign-log";
    const platform::Result<int> run = runQuietly(osslsigncodeCommand(request, passPath, path, signedPath), logPath);
    if (!run || run.value() != 0) {
        fs::remove(pathOf(signedPath), ec);
        if (notFound(run) && onWindowsHost(request)) return signWithSigntool(path, request, logPath, error);
        error = notFound(run) ? installAdvice(request) : signingFailure("osslsigncode", run);
        return false;
    }
    fs::rename(pathOf(signedPath), pathOf(path), ec);
    if (ec) {
        fs::remove(pathOf(signedPath), ec);
        error = "cannot replace '" + path + "' by its signed copy";
        return false;
    }
    return true;
}

}  // namespace hux::tool
