// A command's input and output as a file or as bytes (what a client of the
// service sends): the same input either way, and the same refusals before
// anything is sent.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CommandFiles.h"
#include "ModuleSDK.h"
#include "image/Bmp.h"

using namespace kelvor;

namespace {

using Bytes = std::vector<uint8_t>;

// A file holding `bytes`, read from its start.
struct TempFile {
    std::FILE* f = std::tmpfile();
    explicit TempFile(const Bytes& bytes) {
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::rewind(f);
    }
    ~TempFile() {
        if (f) std::fclose(f);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

Bytes small_bmp(int width, int height) {
    std::vector<uint8_t> gray(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<uint8_t>(i * 7);
    Bytes file;
    EXPECT_TRUE(bmp_encode(gray.data(), width, height, file));
    return file;
}

void trace_into(const char* text, size_t n, void* context) {
    static_cast<std::string*>(context)->append(text, n);
}

} // namespace

TEST(CommandFiles, BytesAndAFileGiveTheSameInput) {
    const Bytes bmp = small_bmp(5, 3);
    const Bytes cut(bmp.begin(), bmp.begin() + static_cast<long>(bmp.size() / 2));
    const struct {
        const char* what;
        Bytes content;
    } inputs[] = {
        {"empty", {}},
        {"three bytes", {1, 2, 3}},
        {"a BMP", bmp},
        {"a BMP cut short", cut},
        {"no BMP", Bytes(200, 0x42)},
    };
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.what);
        for (const size_t want : {size_t{0}, size_t{3}, size_t{100}, size_t{4096}}) {
            TempFile file(in.content);
            tools::CommandCall fromFile, fromBytes;
            fromFile.input.file = file.f;
            fromFile.input.size = static_cast<int64_t>(in.content.size());
            fromBytes.input.bytes = std::span<const uint8_t>(in.content);
            fromBytes.input.size = static_cast<int64_t>(in.content.size());
            Bytes a, b;
            EXPECT_EQ(fromFile.read_input(a, want), fromBytes.read_input(b, want)) << want;
            EXPECT_EQ(a, b) << want;
            // A second read goes on from where the first ended.
            EXPECT_EQ(fromFile.read_input(a, 2), fromBytes.read_input(b, 2)) << want;
            EXPECT_EQ(a, b) << want;
        }
        TempFile file(in.content);
        tools::CommandCall fromFile, fromBytes;
        fromFile.input.file = file.f;
        fromBytes.input.bytes = std::span<const uint8_t>(in.content);
        std::string trace;
        Line line;
        line.trace_to(trace_into, &trace);
        const bool loadedFromFile = line.call([&] { return fromFile.load_bmp_input(); });
        const bool loadedFromBytes = line.call([&] { return fromBytes.load_bmp_input(); });
        EXPECT_EQ(loadedFromFile, loadedFromBytes);
        if (loadedFromFile && loadedFromBytes) {
            EXPECT_TRUE(fromFile.image_record().bytes == fromBytes.image_record().bytes);
        }
    }
}

TEST(CommandFiles, RefusedBeforeAnythingIsSent) {
    namespace cmd = packet::cmd;
    const Bytes three = {1, 2, 3};
    // A code that no command of the library has goes out raw.
    uint8_t raw = 1;
    while (tools::has_command_case(raw)) ++raw;
    const struct {
        const char* what;
        uint8_t code;
        uint32_t param1, param2;
        bool given;
        Bytes input;
        const char* message;
    } rows[] = {
        {"ET without templates", cmd::ET, 1, 0x100, false, {}, "No template file is defined"},
        {"EI without an image", cmd::EI, 1, 0, false, {}, "No image file is defined"},
        {"EI with bytes that are no BMP", cmd::EI, 1, 0, true, three, "Cannot open the bmp file"},
        {"UM with a short password", cmd::UM, 0, 0, true, three, "The password file holds fewer than"},
        {"ET beyond the data the host sends", cmd::ET, 1, 0xFFFFFFFF, true, three, "exceeds the limit"},
        {"TW with no date", cmd::TW, 0xFFFFFFFF, 0xFFFFFFFF, false, {}, "Invalid Time"},
        {"a raw code beyond the raw buffer", raw, 0, tools::RAW_BUFFER + 1, true, three, "exceeds the buffer"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        // No port is open: a command that went out would fail on the port.
        Line line;
        std::string trace;
        line.trace_to(trace_into, &trace);
        tools::CommandCall call;
        call.command = r.code;
        call.param1 = r.param1;
        call.param2 = r.param2;
        if (r.given) {
            call.input.bytes = std::span<const uint8_t>(r.input);
            call.input.size = static_cast<int64_t>(r.input.size());
            call.input.path = "input";
        }
        Outcome outcome;
        const int result = line.call([&] { return tools::run_with_files(call, outcome); });
        EXPECT_EQ(result, FRONT_REFUSED);
        ASSERT_TRUE(outcome.hasMessage);
        EXPECT_NE(outcome.message.find(r.message), std::string::npos) << outcome.message;
        EXPECT_NE(trace.find("[OrvantiCom.cpp("), std::string::npos) << trace;
    }
}

TEST(CommandFiles, CollectedOutputAndTheFilesWritten) {
    tools::CommandCall call;
    // Without an output nothing is kept, and nothing fails.
    const uint8_t first[] = {1, 2, 3};
    EXPECT_TRUE(call.write_output(first, sizeof first));
    EXPECT_TRUE(call.written.empty());
    EXPECT_TRUE(call.output_creatable());

    call.output.collect = true;
    call.output.path = "templates.bin";
    call.recordFiles = true;
    const uint8_t second[] = {4, 5};
    EXPECT_TRUE(call.write_output(first, sizeof first));
    EXPECT_TRUE(call.write_output(second, sizeof second));
    EXPECT_TRUE(call.write_output(nullptr, 0)); // an empty list writes nothing
    EXPECT_EQ(call.output.bytes, (Bytes{1, 2, 3, 4, 5}));
    ASSERT_EQ(call.written.size(), 1u);
    EXPECT_EQ(call.written[0].path, "templates.bin");
    EXPECT_EQ(call.written[0].bytes, call.output.bytes);

    // An output named but not created refuses the command, with the reason.
    tools::CommandCall refused;
    refused.output.path = "out.bin";
    refused.output.error = EACCES;
    std::string trace;
    Line line;
    line.trace_to(trace_into, &trace);
    EXPECT_FALSE(line.call([&] { return refused.output_creatable(); }));
    EXPECT_NE(trace.find("Cannot create out.bin"), std::string::npos) << trace;
}
