#include "kit_config.h"

#include <gtest/gtest.h>

#include "emulation/kit_test_support.h"

namespace Quorvan {
namespace {

using evk::KitConfig;
using evk::loadKitConfig;
using evk::parseKitConfig;

TEST(KitConfig, ParsesEveryKeyWithCommentsAndSpaces) {
    const std::string text = R"(# a complete file
geometry = 240x180
bits_per_pixel=10   # trailing comment
frame_rate = 12.5
subframe_interval_ms = 2

scene = wall
scene.distance_mm = 900
horizontal_fov_deg = 60
signal_gain = 1000
ambient = 5
noise = off
noise_scale = 0.5
seed = 42
fail_open = no
fail_init = yes
timeout_every = 7
timeout_probability = 0.25
timeout_wait_ms = 30
wrong_size_every = 9
gap_every = 11
gap_ms = 40
)";
    KitConfig config;
    std::string error;
    ASSERT_TRUE(parseKitConfig(text, &config, &error)) << error;
    EXPECT_EQ(config.bits_per_pixel, 10u);
    EXPECT_DOUBLE_EQ(config.frame_rate, 12.5);
    EXPECT_EQ(config.subframe_interval_ms, 2u);
    EXPECT_EQ(config.scene, "wall");
    EXPECT_DOUBLE_EQ(config.scene_parameters.at("distance_mm"), 900.0);
    EXPECT_DOUBLE_EQ(config.horizontal_fov_deg, 60.0);
    EXPECT_DOUBLE_EQ(config.signal_gain, 1000.0);
    EXPECT_DOUBLE_EQ(config.ambient, 5.0);
    EXPECT_FALSE(config.noise);
    EXPECT_DOUBLE_EQ(config.noise_scale, 0.5);
    EXPECT_EQ(config.seed, 42u);
    EXPECT_FALSE(config.faults.fail_open);
    EXPECT_TRUE(config.faults.fail_init);
    EXPECT_EQ(config.faults.timeout_every, 7u);
    EXPECT_DOUBLE_EQ(config.faults.timeout_probability, 0.25);
    EXPECT_EQ(config.faults.timeout_wait_ms, 30);
    EXPECT_EQ(config.faults.wrong_size_every, 9u);
    EXPECT_EQ(config.faults.gap_every, 11u);
    EXPECT_EQ(config.faults.gap_ms, 40u);
}

TEST(KitConfig, EmptyTextGivesTheBuiltInKit) {
    KitConfig config;
    config.bits_per_pixel = 8;
    ASSERT_TRUE(parseKitConfig("# nothing\n\n", &config, nullptr));
    EXPECT_EQ(config.geometry, "240x180");
    EXPECT_EQ(config.bits_per_pixel, 12u);
    EXPECT_DOUBLE_EQ(config.frame_rate, 30.0);
    EXPECT_EQ(config.scene, "default");
    EXPECT_TRUE(config.noise);

    ASSERT_TRUE(parseKitConfig("frame_rate = unpaced", &config, nullptr));
    EXPECT_DOUBLE_EQ(config.frame_rate, 0.0);
}

TEST(KitConfig, RefusesBadLinesNamingTheLine) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"bits_per_pixel = 11", "line 1: bits_per_pixel: expected 8, 10, 12 or 16"},
        {"\n\nframe_rate = fast", "line 3: frame_rate"},
        {"frame_rate = 0", "line 1: frame_rate"},
        {"colour = red", "line 1: unknown key 'colour'"},
        {"just words", "line 1: expected key = value"},
        {"= 3", "line 1: missing key"},
        {"seed = -1", "line 1: seed"},
        {"timeout_probability = 1.5", "line 1: timeout_probability"},
        {"noise = maybe", "line 1: noise: expected on or off"},
        {"gap_ms = 3", "line 1: gap_ms"},
        {"scene.distance_mm = far", "line 1: scene parameter distance_mm"},
        {"scene. = 3", "line 1: key 'scene.' lacks a parameter name"},
        {"lens.focus = 3", "line 1: unknown key 'lens.focus'"},
        {"seed = 12abc", "line 1: seed"},
    };
    for (const Case& c : cases) {
        KitConfig config;
        std::string error;
        EXPECT_FALSE(parseKitConfig(c.text, &config, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.expected, 0), 0u) << c.text << " gave: " << error;
    }
}

TEST(KitConfig, LoadNamesTheFileInEveryProblem) {
    KitConfig config;
    std::string error;
    EXPECT_FALSE(loadKitConfig("/nonexistent/kit.cfg", &config, &error));
    EXPECT_EQ(error.rfind("/nonexistent/kit.cfg: cannot read the file", 0), 0u) << error;

    EXPECT_FALSE(loadKitConfig("/tmp", &config, &error));
    EXPECT_EQ(error, "/tmp: not a regular file");

    testing_support::TempConfigFile bad("noise = on\nbits_per_pixel = 9\n");
    EXPECT_FALSE(loadKitConfig(bad.path(), &config, &error));
    EXPECT_EQ(error, bad.path() + ": line 2: bits_per_pixel: expected 8, 10, 12 or 16");

    testing_support::TempConfigFile binary(std::string("\x01\x00\x02", 3));
    EXPECT_FALSE(loadKitConfig(binary.path(), &config, &error));
    EXPECT_NE(error.find("not a text configuration file"), std::string::npos);

    testing_support::TempConfigFile good("bits_per_pixel = 16\n");
    ASSERT_TRUE(loadKitConfig(good.path(), &config, &error)) << error;
    EXPECT_EQ(config.bits_per_pixel, 16u);
}

TEST(KitConfig, ShippedExamplesParse) {
    for (const char* name : {"default", "noise_free", "bits8", "bits10", "bits16", "unpaced",
                             "wall", "faulty", "fail_open"}) {
        KitConfig config;
        std::string error;
        const std::string path = std::string(QUORVAN_KIT_CONFIG_DIR) + "/" + name + ".cfg";
        EXPECT_TRUE(loadKitConfig(path, &config, &error)) << error;
    }
    // default.cfg spells out the built-in defaults.
    KitConfig written;
    ASSERT_TRUE(
        loadKitConfig(std::string(QUORVAN_KIT_CONFIG_DIR) + "/default.cfg", &written, nullptr));
    const KitConfig built_in;
    EXPECT_EQ(written.bits_per_pixel, built_in.bits_per_pixel);
    EXPECT_EQ(written.frame_rate, built_in.frame_rate);
    EXPECT_EQ(written.signal_gain, built_in.signal_gain);
    EXPECT_EQ(written.ambient, built_in.ambient);
    EXPECT_EQ(written.noise, built_in.noise);
    EXPECT_EQ(written.noise_scale, built_in.noise_scale);
    EXPECT_EQ(written.horizontal_fov_deg, built_in.horizontal_fov_deg);
}

TEST(KitConfig, QuotesAtMostAShortEscapedPieceOfABadLine) {
    KitConfig config;
    std::string error;
    // One enormous line: refused without echoing it, however long it is.
    const std::string huge = "noise = " + std::string(5 * 1024 * 1024, 'x');
    EXPECT_FALSE(parseKitConfig(huge, &config, &error));
    EXPECT_EQ(error.rfind("line 1: longer than 4096 characters", 0), 0u) << error.substr(0, 200);
    EXPECT_LT(error.size(), 200u);

    // A bad line of moderate length is quoted in part, control characters escaped.
    const std::string noisy = "colour\x1b[31m" + std::string(500, 'y') + " = red";
    EXPECT_FALSE(parseKitConfig(noisy, &config, &error));
    EXPECT_EQ(error.find('\x1b'), std::string::npos) << error;
    EXPECT_NE(error.find("colour\\x1b[31m"), std::string::npos) << error;
    EXPECT_NE(error.find("'..."), std::string::npos) << error;
    EXPECT_LT(error.size(), 140u);

    // The lines after an over-long one are never reached: the first problem ends the parse.
    EXPECT_FALSE(parseKitConfig(std::string(5000, '#') + "x\nseed = 3\n", &config, &error));
    EXPECT_EQ(error.rfind("line 1: longer than", 0), 0u) << error;
}

TEST(KitConfig, SkipsAUtf8ByteOrderMarkAtTheStartOnly) {
    KitConfig config;
    std::string error;
    ASSERT_TRUE(
        parseKitConfig("\xEF\xBB\xBF"
                       "frame_rate = 15\nseed = 4\n",
                       &config, &error))
        << error;
    EXPECT_DOUBLE_EQ(config.frame_rate, 15.0);
    EXPECT_EQ(config.seed, 4u);
    // Anywhere else it is part of a key, which is unknown.
    EXPECT_FALSE(
        parseKitConfig("seed = 4\n\xEF\xBB\xBF"
                       "frame_rate = 15\n",
                       &config, &error));
    EXPECT_EQ(error.rfind("line 2: unknown key", 0), 0u) << error;
}

TEST(KitConfig, LoadShowsAPathWithControlCharactersEscaped) {
    KitConfig config;
    std::string error;
    EXPECT_FALSE(loadKitConfig("/nonexistent/a\nb.cfg", &config, &error));
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(error.rfind("/nonexistent/a\\x0ab.cfg: cannot read the file", 0), 0u) << error;
}

}  // namespace
}  // namespace Quorvan
