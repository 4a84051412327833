// Fingers of the simulated sensor: synthetic images, their capture variation,
// and matching that tells fingers apart, all seen through the module's commands.
#include "SimHarness.h"

#include <fstream>
#include <set>

#include "protocol/Packet.h"

namespace cmd = kelvor::packet::cmd;

using namespace simtest;

namespace {

Bytes scan_image(Client& host) {
    host.send(cmd::SI);
    const Answer a = host.expect(SUCCEED);
    return host.receive_block(a.param2);
}

TEST(SimFingers, ImagesAreFingerSizedRecordsThatVaryPerCapture) {
    Sim sim;
    Client host(sim.link);
    sim.place("3");
    const Bytes a = scan_image(host), b = scan_image(host);
    ASSERT_EQ(a.size(), 28u + 256 * 288);
    EXPECT_EQ(packet::get32(&a[0]), 256u);
    EXPECT_EQ(packet::get32(&a[4]), 288u);
    EXPECT_EQ(packet::get32(&a[16]), 0u);
    EXPECT_EQ(packet::get32(&a[20]), 256u * 288);
    EXPECT_NE(a, b); // each capture is shifted and noisy
    // A ridge pattern: dark and light pixels both in plenty.
    size_t dark = 0, light = 0;
    for (size_t i = 28; i < a.size(); ++i) (a[i] < 100 ? dark : light) += a[i] < 100 || a[i] > 160;
    EXPECT_GT(dark, a.size() / 8);
    EXPECT_GT(light, a.size() / 8);
    // The same module started anew shows the same captures.
    Sim again;
    Client other(again.link);
    again.place("3");
    EXPECT_EQ(scan_image(other), a);
}

TEST(SimFingers, CapturesOfOneFingerMatchAndDifferentFingersDoNot) {
    Sim sim;
    Client host(sim.link);
    constexpr uint32_t FINGERS = 10, CAPTURES = 4;
    for (uint32_t f = 1; f <= FINGERS; ++f) {
        sim.place(std::to_string(f));
        host.send(cmd::ES, f, 0, 0);
        host.expect(SUCCEED);
    }
    for (uint32_t f = 1; f <= FINGERS; ++f) {
        sim.place(std::to_string(f));
        for (uint32_t c = 0; c < CAPTURES; ++c) {
            host.send(cmd::IS);
            EXPECT_EQ(host.expect(SUCCEED).param1, f) << "finger " << f << " capture " << c;
        }
        for (uint32_t other = 1; other <= FINGERS; ++other) {
            if (other == f) continue;
            host.send(cmd::VS, other, 0, 0);
            host.expect(NOT_MATCH);
        }
    }
    // Unknown fingers are not found.
    for (uint32_t f = 11; f <= 20; ++f) {
        sim.place(std::to_string(f));
        host.send(cmd::IS);
        host.expect(NOT_FOUND);
    }
}

TEST(SimFingers, ImageSentBackIsRecognised) {
    Sim sim;
    Client host(sim.link);
    sim.place("6");
    host.send(cmd::ES, 6, 0, 0);
    host.expect(SUCCEED);
    const Bytes record = scan_image(host);
    const Bytes image = host_image(record);
    // VI with the record as the host sends it (header included, 28 pixels short).
    host.send(cmd::VI, 6, static_cast<uint32_t>(image.size()), 0);
    host.send_block(image);
    EXPECT_EQ(host.expect(SUCCEED).param1, 6u);
    // II of the same image.
    host.send(cmd::II, 0, static_cast<uint32_t>(image.size()), 0);
    host.send_block(image);
    EXPECT_EQ(host.expect(SUCCEED).param1, 6u);
    // RI gives back the last image the module holds.
    host.send(cmd::RI);
    const Answer a = host.expect(SUCCEED);
    const Bytes held = host.receive_block(a.param2);
    EXPECT_EQ(Bytes(held.begin() + 28, held.end() - 28), Bytes(record.begin() + 28, record.end() - 28));
    EXPECT_EQ(Bytes(held.end() - 28, held.end()), Bytes(28, 255)); // the pixels the header displaced
}

TEST(SimFingers, BmpFilePlacedOnTheSensor) {
    Sim sim;
    Client host(sim.link);
    sim.place("5");
    const Bytes record = scan_image(host);
    // An 8-bit gray BMP of the capture, bottom-up rows.
    const uint32_t w = 256, h = 288;
    Bytes bmp(54 + 1024 + w * h, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    packet::put32(&bmp[2], static_cast<uint32_t>(bmp.size()));
    packet::put32(&bmp[10], 54 + 1024);
    packet::put32(&bmp[14], 40);
    packet::put32(&bmp[18], w);
    packet::put32(&bmp[22], h);
    packet::put16(&bmp[26], 1);
    packet::put16(&bmp[28], 8);
    for (uint32_t i = 0; i < 256; ++i)
        bmp[54 + 4 * i] = bmp[55 + 4 * i] = bmp[56 + 4 * i] = static_cast<uint8_t>(i);
    for (uint32_t y = 0; y < h; ++y)
        std::copy_n(record.begin() + 28 + y * w, w, bmp.begin() + 54 + 1024 + (h - 1 - y) * w);
    farend::TempDir dir;
    dir.write("five.bmp", bmp);
    sim.place(dir.file("five.bmp"));
    host.send(cmd::ES, 55, 0, 0);
    EXPECT_EQ(host.expect(SUCCEED).param1, 55u);
    sim.place("5");
    host.send(cmd::IS);
    EXPECT_EQ(host.expect(SUCCEED).param1, 55u);
    // Not a BMP: the scan fails.
    dir.write("bad.bmp", std::string("not an image"));
    sim.place(dir.file("bad.bmp"));
    host.send(cmd::IS);
    host.expect(SCAN_FAILED);
}

} // namespace
