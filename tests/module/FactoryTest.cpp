#include <gtest/gtest.h>

#include "pluginterfaces/base/ipluginbase.h"
#include "pluginterfaces/vst/vsttypes.h"

#include <dlfcn.h>

#include <array>
#include <cstring>
#include <fstream>
#include <string>

using namespace Steinberg;

namespace
{
    const std::string kModulePath = std::string (VELMORINE_BUNDLE) + "/Contents/x86_64-linux/Velmorine Link.so";

    // The SDK stores a class identifier in COM byte order on Windows and as four big-endian words
    // elsewhere; comparing the four words makes the check independent of that.
    std::array<uint32, 4> uidWords (const TUID uid)
    {
        const auto* b = reinterpret_cast<const unsigned char*> (uid);
        auto be = [b] (int i) { return (uint32) b[i] << 24 | (uint32) b[i + 1] << 16 | (uint32) b[i + 2] << 8 | b[i + 3]; };
       #if COM_COMPATIBLE
        const uint32 w1 = (uint32) b[3] << 24 | (uint32) b[2] << 16 | (uint32) b[1] << 8 | b[0];
        const uint32 w2 = (uint32) b[5] << 24 | (uint32) b[4] << 16 | (uint32) b[7] << 8 | b[6];
        return { w1, w2, be (8), be (12) };
       #else
        return { be (0), be (4), be (8), be (12) };
       #endif
    }

    constexpr uint32 fourCC (const char (&s)[5])
    {
        return (uint32) (unsigned char) s[0] << 24 | (uint32) (unsigned char) s[1] << 16
             | (uint32) (unsigned char) s[2] << 8 | (uint32) (unsigned char) s[3];
    }

    std::string fromUtf16 (const char16* text)
    {
        std::string out;
        for (; *text != 0; ++text)
            out += *text < 128 ? (char) *text : '?';
        return out;
    }

    bool isMapped (const std::string& path)
    {
        std::ifstream maps ("/proc/self/maps");
        std::string line;
        while (std::getline (maps, line))
            if (line.find (path) != std::string::npos)
                return true;
        return false;
    }

    struct ModuleFactory : ::testing::Test
    {
        void* handle = nullptr;
        IPluginFactory* factory = nullptr;

        void SetUp() override
        {
            handle = dlopen (kModulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
            ASSERT_NE (handle, nullptr) << dlerror();

            using EntryFn = bool (*) (void*);
            using FactoryFn = IPluginFactory* (*)();
            auto entry = reinterpret_cast<EntryFn> (dlsym (handle, "ModuleEntry"));
            auto getFactory = reinterpret_cast<FactoryFn> (dlsym (handle, "GetPluginFactory"));
            ASSERT_NE (entry, nullptr);
            ASSERT_NE (getFactory, nullptr);
            ASSERT_TRUE (entry (handle));
            factory = getFactory();
            ASSERT_NE (factory, nullptr);
        }

        void TearDown() override
        {
            if (factory != nullptr)
                factory->release();

            if (handle != nullptr)
            {
                using ExitFn = bool (*)();
                if (auto exitFn = reinterpret_cast<ExitFn> (dlsym (handle, "ModuleExit")))
                    EXPECT_TRUE (exitFn());
                dlclose (handle);
            }
        }
    };

    struct ExpectedClass
    {
        const char* category;
        std::array<uint32, 4> words;
    };

    const ExpectedClass kClasses[] = {
        { "Audio Module Class", { 0xABCDEF01u, 0x9182FAEBu, fourCC ("Vlmr"), fourCC ("VmLk") } },
        { "Component Controller Class", { 0xABCDEF01u, 0x1234ABCDu, fourCC ("Vlmr"), fourCC ("VmLk") } },
    };
}

TEST_F (ModuleFactory, ReportsTheVendorWithEmptyUrlAndEmail)
{
    PFactoryInfo info {};
    std::memset (&info, 0x55, sizeof (info));   // so that unwritten fields cannot pass as empty
    ASSERT_EQ (factory->getFactoryInfo (&info), kResultOk);
    EXPECT_STREQ (info.vendor, "Velmorine");
    EXPECT_EQ (info.url[0], 0);
    EXPECT_EQ (info.email[0], 0);
    EXPECT_EQ (info.flags, 16);
}

TEST_F (ModuleFactory, ListsExactlyTheProcessorAndTheController)
{
    ASSERT_EQ (factory->countClasses(), 2);

    IPluginFactory2* factory2 = nullptr;
    IPluginFactory3* factory3 = nullptr;
    ASSERT_EQ (factory->queryInterface (IPluginFactory2_iid, (void**) &factory2), kResultOk);
    ASSERT_EQ (factory->queryInterface (IPluginFactory3_iid, (void**) &factory3), kResultOk);

    for (int32 i = 0; i < 2; ++i)
    {
        SCOPED_TRACE (i);
        const auto& expected = kClasses[i];

        PClassInfo basic {};
        ASSERT_EQ (factory->getClassInfo (i, &basic), kResultOk);
        EXPECT_STREQ (basic.category, expected.category);
        EXPECT_STREQ (basic.name, "Velmorine Link");
        EXPECT_EQ (basic.cardinality, 0x7FFFFFFF);
        EXPECT_EQ (uidWords (basic.cid), expected.words);

        PClassInfo2 info {};
        ASSERT_EQ (factory2->getClassInfo2 (i, &info), kResultOk);
        EXPECT_EQ (uidWords (info.cid), expected.words);
        EXPECT_EQ (info.cardinality, 0x7FFFFFFF);
        EXPECT_STREQ (info.category, expected.category);
        EXPECT_STREQ (info.name, "Velmorine Link");
        EXPECT_EQ (info.classFlags, 0u);
        EXPECT_STREQ (info.subCategories, "Fx|Tools");
        EXPECT_STREQ (info.vendor, "Velmorine");
        EXPECT_STREQ (info.version, "0.1.0");
        // The module reports the SDK it was built with; Debian's JUCE 7.0.5 bundles 3.7.2.
        EXPECT_STREQ (info.sdkVersion, kVstVersionString);
        std::printf ("class %d sdkVersion: %s\n", (int) i, info.sdkVersion);

        PClassInfoW wide {};
        ASSERT_EQ (factory3->getClassInfoUnicode (i, &wide), kResultOk);
        EXPECT_EQ (uidWords (wide.cid), expected.words);
        EXPECT_EQ (wide.cardinality, 0x7FFFFFFF);
        EXPECT_STREQ (wide.category, expected.category);
        EXPECT_EQ (fromUtf16 (wide.name), "Velmorine Link");
        EXPECT_EQ (wide.classFlags, 0u);
        EXPECT_STREQ (wide.subCategories, "Fx|Tools");
        EXPECT_EQ (fromUtf16 (wide.vendor), "Velmorine");
        EXPECT_EQ (fromUtf16 (wide.version), "0.1.0");
        EXPECT_EQ (fromUtf16 (wide.sdkVersion), info.sdkVersion);
    }

    factory2->release();
    factory3->release();
}

TEST (ModuleFactoryLifetime, EveryCallMakesAFactoryAndTheModuleUnloads)
{
    void* handle = dlopen (kModulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE (handle, nullptr) << dlerror();
    ASSERT_TRUE (isMapped (kModulePath));

    auto entry = reinterpret_cast<bool (*) (void*)> (dlsym (handle, "ModuleEntry"));
    auto exitFn = reinterpret_cast<bool (*)()> (dlsym (handle, "ModuleExit"));
    auto getFactory = reinterpret_cast<IPluginFactory* (*)()> (dlsym (handle, "GetPluginFactory"));
    ASSERT_TRUE (entry != nullptr && exitFn != nullptr && getFactory != nullptr);
    ASSERT_TRUE (entry (handle));

    for (int round = 0; round < 3; ++round)
    {
        IPluginFactory* factory = getFactory();
        ASSERT_NE (factory, nullptr);
        // A fresh factory holds one reference, the caller's: add one, then both releases free it.
        EXPECT_EQ (factory->addRef(), 2u);
        EXPECT_EQ (factory->release(), 1u);
        EXPECT_EQ (factory->release(), 0u);
    }

    EXPECT_TRUE (exitFn());
    ASSERT_EQ (dlclose (handle), 0);
    EXPECT_FALSE (isMapped (kModulePath)) << "the module stayed loaded after dlclose";
}
