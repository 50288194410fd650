// A small Windows host for the built module, run under Wine by the windows tests. It uses only the
// VST3 SDK's interfaces, as a DAW does:
//   check  MODULE            factory, classes, component, buses, layouts, bit-exact pass-through,
//                            clean shut-down and unload
//   editor MODULE [BMP]      the controller's view attached to a window of ours (needs a display)
//   feed   MODULE options    keeps one or two components processing the known signal in real time
//                            while a Linux client listens; see runFeed for its options and commands

#include "HostSupport.h"

#include "pluginterfaces/gui/iplugview.h"
#include "pluginterfaces/vst/ivsteditcontroller.h"
#include "pluginterfaces/vst/ivstmessage.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

using namespace Steinberg;
using namespace winhost;

namespace
{
    const unsigned char kComponentId[16] = { 0x01, 0xEF, 0xCD, 0xAB, 0x82, 0x91, 0xEB, 0xFA, 'V', 'l', 'm', 'r', 'V', 'm', 'L', 'k' };
    const unsigned char kControllerId[16] = { 0x01, 0xEF, 0xCD, 0xAB, 0x34, 0x12, 0xCD, 0xAB, 'V', 'l', 'm', 'r', 'V', 'm', 'L', 'k' };

    std::wstring widen (const std::string& s)
    {
        return std::wstring (s.begin(), s.end());
    }

    std::string hex (const void* bytes, size_t size)
    {
        static const char* digits = "0123456789ABCDEF";
        std::string out;
        for (size_t i = 0; i < size; ++i)
        {
            const auto b = static_cast<const unsigned char*> (bytes)[i];
            out += digits[b >> 4];
            out += digits[b & 15];
            out += ' ';
        }
        return out;
    }

    bool expectId (Checks& checks, const TUID actual, const unsigned char (&expected)[16], const std::string& what)
    {
        return checks.expectEqual (hex (actual, 16), hex (expected, 16), what);
    }

    //==============================================================================
    void checkFactory (Checks& checks, IPluginFactory& factory)
    {
        checks.section ("factory information");
        PFactoryInfo info {};
        std::memset ((void*) &info, 0x55, sizeof (info));   // so that unwritten fields cannot pass as empty
        checks.expectEqual (factory.getFactoryInfo (&info), kResultOk, "getFactoryInfo");
        checks.expectEqual (std::string (info.vendor), "Velmorine", "vendor");
        checks.expectEqual ((int) info.url[0], 0, "url is an empty string");
        checks.expectEqual ((int) info.email[0], 0, "email is an empty string");
        checks.expectEqual (info.flags, 16, "flags (kUnicode)");

        checks.section ("classes");
        checks.expectEqual (factory.countClasses(), 2, "countClasses");

        IPluginFactory2* factory2 = nullptr;
        IPluginFactory3* factory3 = nullptr;
        checks.expectEqual (factory.queryInterface (IPluginFactory2_iid, (void**) &factory2), kResultOk, "IPluginFactory2");
        checks.expectEqual (factory.queryInterface (IPluginFactory3_iid, (void**) &factory3), kResultOk, "IPluginFactory3");

        if (factory2 == nullptr || factory3 == nullptr)
            return;

        struct Expected { const char* category; const unsigned char (&id)[16]; };
        const Expected classes[] = { { "Audio Module Class", kComponentId }, { "Component Controller Class", kControllerId } };

        for (int32 i = 0; i < 2; ++i)
        {
            const auto& expected = classes[i];
            const auto tag = "class " + std::to_string (i) + " ";

            PClassInfo basic {};
            checks.expectEqual (factory.getClassInfo (i, &basic), kResultOk, tag + "getClassInfo");
            expectId (checks, basic.cid, expected.id, tag + "PClassInfo cid");
            checks.expectEqual (std::string (basic.category), expected.category, tag + "PClassInfo category");
            checks.expectEqual (std::string (basic.name), "Velmorine Link", tag + "PClassInfo name");
            checks.expectEqual (basic.cardinality, 0x7FFFFFFF, tag + "PClassInfo cardinality");

            PClassInfo2 info {};
            checks.expectEqual (factory2->getClassInfo2 (i, &info), kResultOk, tag + "getClassInfo2");
            expectId (checks, info.cid, expected.id, tag + "PClassInfo2 cid");
            checks.expectEqual (info.cardinality, 0x7FFFFFFF, tag + "PClassInfo2 cardinality");
            checks.expectEqual (std::string (info.category), expected.category, tag + "PClassInfo2 category");
            checks.expectEqual (std::string (info.name), "Velmorine Link", tag + "PClassInfo2 name");
            checks.expectEqual (info.classFlags, 0u, tag + "PClassInfo2 classFlags");
            checks.expectEqual (std::string (info.subCategories), "Fx|Tools", tag + "PClassInfo2 subCategories");
            checks.expectEqual (std::string (info.vendor), "Velmorine", tag + "PClassInfo2 vendor");
            checks.expectEqual (std::string (info.version), "0.1.0", tag + "PClassInfo2 version");
            checks.expectEqual (std::string (info.sdkVersion), kVstVersionString, tag + "PClassInfo2 sdkVersion");

            PClassInfoW wide {};
            checks.expectEqual (factory3->getClassInfoUnicode (i, &wide), kResultOk, tag + "getClassInfoUnicode");
            expectId (checks, wide.cid, expected.id, tag + "PClassInfoW cid");
            checks.expectEqual (wide.cardinality, 0x7FFFFFFF, tag + "PClassInfoW cardinality");
            checks.expectEqual (std::string (wide.category), expected.category, tag + "PClassInfoW category");
            checks.expectEqual (fromUtf16 (wide.name), "Velmorine Link", tag + "PClassInfoW name");
            checks.expectEqual (wide.classFlags, 0u, tag + "PClassInfoW classFlags");
            checks.expectEqual (std::string (wide.subCategories), "Fx|Tools", tag + "PClassInfoW subCategories");
            checks.expectEqual (fromUtf16 (wide.vendor), "Velmorine", tag + "PClassInfoW vendor");
            checks.expectEqual (fromUtf16 (wide.version), "0.1.0", tag + "PClassInfoW version");
            checks.expectEqual (fromUtf16 (wide.sdkVersion), kVstVersionString, tag + "PClassInfoW sdkVersion");
        }

        factory2->release();
        factory3->release();
    }

    void checkBuses (Checks& checks, Vst::IComponent& component)
    {
        checks.section ("buses");
        checks.expectEqual (component.getBusCount (Vst::kAudio, Vst::kInput), 1, "audio inputs");
        checks.expectEqual (component.getBusCount (Vst::kAudio, Vst::kOutput), 1, "audio outputs");
        checks.expectEqual (component.getBusCount (Vst::kEvent, Vst::kInput), 0, "event inputs (no MIDI)");
        checks.expectEqual (component.getBusCount (Vst::kEvent, Vst::kOutput), 0, "event outputs (no MIDI)");

        struct Expected { Vst::BusDirection direction; const char* name; };
        for (const auto& bus : { Expected { Vst::kInput, "Input" }, Expected { Vst::kOutput, "Output" } })
        {
            Vst::BusInfo info {};
            const auto tag = std::string (bus.name) + " bus ";
            checks.expectEqual (component.getBusInfo (Vst::kAudio, bus.direction, 0, info), kResultOk, tag + "getBusInfo");
            checks.expectEqual (fromUtf16 (info.name), bus.name, tag + "name");
            checks.expectEqual (info.channelCount, 2, tag + "channels");
            checks.expectEqual (info.mediaType, (int32) Vst::kAudio, tag + "media type");
            checks.expectEqual (info.busType, (int32) Vst::kMain, tag + "bus type");
            checks.expect ((info.flags & Vst::BusInfo::kDefaultActive) != 0, tag + "is active by default");
        }
    }

    void checkLayouts (Checks& checks, Instance& instance)
    {
        checks.section ("layouts");
        using namespace Vst::SpeakerArr;

        struct Case { const char* name; Vst::SpeakerArrangement in, out; bool accepted; };
        const Case cases[] = {
            { "stereo in, stereo out", kStereo, kStereo, true },
            { "mono in, mono out", kMono, kMono, true },
            { "stereo in, mono out", kStereo, kMono, false },
            { "mono in, stereo out", kMono, kStereo, false },
            { "5.1 in, 5.1 out", k51, k51, false },
        };

        for (const auto& c : cases)
        {
            const auto result = instance.setLayout (c.in, c.out);
            checks.expectEqual (result, c.accepted ? kResultTrue : kResultFalse, std::string (c.name) + ": setBusArrangements");

            // After a refusal the plug-in reports the supported layout it chose instead, which the
            // host then adopts: equal sides, mono or stereo.
            Vst::SpeakerArrangement in = 0, out = 0;
            checks.expectEqual (instance.processor->getBusArrangement (Vst::kInput, 0, in), kResultTrue, std::string (c.name) + ": input arrangement");
            checks.expectEqual (instance.processor->getBusArrangement (Vst::kOutput, 0, out), kResultTrue, std::string (c.name) + ": output arrangement");

            if (c.accepted)
            {
                checks.expectEqual (in, c.in, std::string (c.name) + ": input arrangement afterwards");
                checks.expectEqual (out, c.out, std::string (c.name) + ": output arrangement afterwards");
            }
            else
            {
                checks.expect (in == out && (in == kMono || in == kStereo),
                               std::string (c.name) + ": the arrangement afterwards is a supported one, not the refused one");
            }
        }
    }

    void checkPassThrough (Checks& checks, Instance& instance)
    {
        checks.section ("processing");

        struct Case { const char* name; int channels; double rate; int maxBlock; std::vector<int> blocks; bool inPlace; };
        const Case cases[] = {
            { "stereo 48 kHz, separate buffers", 2, 48000.0, 512, { 512, 1, 256, 511, 37 }, false },
            { "mono 44.1 kHz, separate buffers", 1, 44100.0, 256, { 256, 128, 3 }, false },
            { "stereo 96 kHz, in place", 2, 96000.0, 128, { 128, 64, 127 }, true },
        };

        for (const auto& c : cases)
        {
            std::string error;

            if (! checks.expect (instance.start (c.channels, c.rate, c.maxBlock, error), std::string (c.name) + ": start: " + error))
                continue;

            long long frame = 0;
            int blocksExact = 0;

            for (const auto n : c.blocks)
            {
                for (int c2 = 0; c2 < c.channels; ++c2)
                {
                    for (int i = 0; i < n; ++i)
                    {
                        instance.input[(size_t) c2][(size_t) i] = c2 == 0 ? leftSample (frame + i) : rightSample (frame + i, 0);
                        instance.output[(size_t) c2][(size_t) i] = 12345.0f;   // anything the plug-in leaves shows
                    }
                }

                checks.expect (instance.process (n, true, frame, c.inPlace), std::string (c.name) + ": process returned an error");

                bool exact = true;

                for (int c2 = 0; c2 < c.channels; ++c2)
                {
                    const auto& result = c.inPlace ? instance.input[(size_t) c2] : instance.output[(size_t) c2];

                    for (int i = 0; i < n; ++i)
                    {
                        const auto expected = c2 == 0 ? leftSample (frame + i) : rightSample (frame + i, 0);
                        exact = exact && std::memcmp (&result[(size_t) i], &expected, sizeof (float)) == 0;
                    }
                }

                blocksExact += exact ? 1 : 0;
                frame += n;
            }

            checks.expectEqual (blocksExact, (int) c.blocks.size(), std::string (c.name) + ": blocks passed through bit for bit");
            instance.stop();
        }
    }

    int runCheck (const std::string& modulePath)
    {
        Checks checks;
        HostContext host;
        LoadedModule module;
        std::string error;

        checks.section ("module");
        if (! checks.expect (module.load (widen (modulePath), error), "LoadLibrary, InitDll: " + error))
            return checks.finish();

        // Each call hands the caller a factory holding one reference, the caller's: add one, then
        // both releases free it, and the next call makes another.
        for (int round = 0; round < 3; ++round)
        {
            auto* factory = module.getFactory();
            if (! checks.expect (factory != nullptr, "GetPluginFactory returns a factory"))
                break;
            checks.expectEqual (factory->addRef(), 2u, "a fresh factory's count after addRef");
            checks.expectEqual (factory->release(), 1u, "after one release");
            checks.expectEqual (factory->release(), 0u, "after the caller's release");
        }

        if (! checks.expect (module.keepFactory (error), error))
            return checks.finish();

        checkFactory (checks, *module.factory);

        checks.section ("component");
        Instance instance;
        if (! checks.expect (instance.create (*module.factory, kComponentId, &host, error), error))
            return checks.finish();

        TUID controllerId {};
        checks.expectEqual (instance.component->getControllerClassId (controllerId), kResultOk, "getControllerClassId");
        expectId (checks, controllerId, kControllerId, "the controller class named by the component");

        checkBuses (checks, *instance.component);
        checkLayouts (checks, instance);
        checkPassThrough (checks, instance);

        checks.section ("shut-down");
        checks.expect (instance.shutDown(), "terminate succeeds and the last release frees the component");
        checks.expect (module.unload(), "ExitDll returns true and FreeLibrary succeeds");
        checks.expect (GetModuleHandleW (L"Velmorine Link.vst3") == nullptr, "the module is unloaded after FreeLibrary");
        return checks.finish();
    }

    //==============================================================================
    LRESULT CALLBACK parentWindowProc (HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        return DefWindowProcW (hwnd, message, wParam, lParam);
    }

    void pumpMessages (int milliseconds)
    {
        const auto end = GetTickCount64() + (ULONGLONG) milliseconds;

        while (GetTickCount64() < end)
        {
            MSG message;
            while (PeekMessageW (&message, nullptr, 0, 0, PM_REMOVE))
            {
                TranslateMessage (&message);
                DispatchMessageW (&message);
            }
            Sleep (10);
        }
    }

    // The window's pixels as 32-bit BGRX rows, top row first, read back from the screen.
    std::vector<std::uint32_t> capture (HWND window, int width, int height, const std::string& bmpPath)
    {
        std::vector<std::uint32_t> pixels ((size_t) (width * height));
        HDC source = GetDC (window);
        HDC memory = CreateCompatibleDC (source);
        HBITMAP bitmap = CreateCompatibleBitmap (source, width, height);
        auto* old = SelectObject (memory, bitmap);
        BitBlt (memory, 0, 0, width, height, source, 0, 0, SRCCOPY);
        SelectObject (memory, old);

        BITMAPINFO info {};
        info.bmiHeader.biSize = sizeof (BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        GetDIBits (memory, bitmap, 0, (UINT) height, pixels.data(), &info, DIB_RGB_COLORS);

        DeleteObject (bitmap);
        DeleteDC (memory);
        ReleaseDC (window, source);

        if (! bmpPath.empty())
        {
            BITMAPFILEHEADER file {};
            file.bfType = 0x4D42;
            file.bfOffBits = sizeof (BITMAPFILEHEADER) + sizeof (BITMAPINFOHEADER);
            file.bfSize = file.bfOffBits + (DWORD) (pixels.size() * 4);
            std::ofstream out (bmpPath, std::ios::binary);
            out.write (reinterpret_cast<const char*> (&file), sizeof (file));
            out.write (reinterpret_cast<const char*> (&info.bmiHeader), sizeof (info.bmiHeader));
            out.write (reinterpret_cast<const char*> (pixels.data()), (std::streamsize) (pixels.size() * 4));
        }

        return pixels;
    }

    int runEditor (const std::string& modulePath, const std::string& bmpPath)
    {
        Checks checks;
        HostContext host;
        LoadedModule module;
        std::string error;

        checks.section ("controller");
        if (! checks.expect (module.load (widen (modulePath), error) && module.keepFactory (error), "LoadLibrary, InitDll, GetPluginFactory: " + error))
            return checks.finish();

        Instance instance;
        if (! checks.expect (instance.create (*module.factory, kComponentId, &host, error), error))
            return checks.finish();

        TUID controllerId {};
        instance.component->getControllerClassId (controllerId);
        Vst::IEditController* controller = nullptr;
        checks.expectEqual (module.factory->createInstance (controllerId, Vst::IEditController_iid, (void**) &controller), kResultOk,
                            "createInstance of the controller class");
        if (controller == nullptr)
            return checks.finish();

        checks.expectEqual (controller->initialize (&host), kResultOk, "the controller's initialize");

        // The host connects component and controller both ways, as DAWs do.
        Vst::IConnectionPoint* componentPoint = nullptr;
        Vst::IConnectionPoint* controllerPoint = nullptr;
        instance.component->queryInterface (Vst::IConnectionPoint_iid, (void**) &componentPoint);
        controller->queryInterface (Vst::IConnectionPoint_iid, (void**) &controllerPoint);
        if (! checks.expect (componentPoint != nullptr && controllerPoint != nullptr, "both are connection points"))
            return checks.finish();

        checks.expectEqual (componentPoint->connect (controllerPoint), kResultOk, "connect the component to the controller");
        checks.expectEqual (controllerPoint->connect (componentPoint), kResultOk, "connect the controller to the component");

        checks.section ("view");
        IPlugView* view = controller->createView (Vst::ViewType::kEditor);
        if (! checks.expect (view != nullptr, "createView (\"editor\") makes a view"))
            return checks.finish();

        checks.expectEqual (view->isPlatformTypeSupported (kPlatformTypeHWND), kResultTrue, "HWND is supported");

        WNDCLASSW windowClass {};
        windowClass.lpfnWndProc = parentWindowProc;
        windowClass.hInstance = GetModuleHandleW (nullptr);
        windowClass.lpszClassName = L"VelmorineTestHostWindow";
        windowClass.hbrBackground = (HBRUSH) GetStockObject (WHITE_BRUSH);
        RegisterClassW (&windowClass);
        HWND parent = CreateWindowExW (0, windowClass.lpszClassName, L"Velmorine test host", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                       0, 0, 600, 400, nullptr, nullptr, windowClass.hInstance, nullptr);
        if (! checks.expect (parent != nullptr, "the host's window exists"))
            return checks.finish();

        checks.expectEqual (view->attached (parent, kPlatformTypeHWND), kResultOk, "attached to the host's window");

        ViewRect size {};
        checks.expectEqual (view->getSize (&size), kResultOk, "getSize");
        checks.expectEqual (size.getWidth(), 340, "view width");
        checks.expectEqual (size.getHeight(), 130, "view height");

        pumpMessages (1500);

        HWND child = GetWindow (parent, GW_CHILD);
        if (checks.expect (child != nullptr, "the editor made a child window in ours"))
        {
            RECT client {};
            GetClientRect (child, &client);
            checks.expectEqual (client.right - client.left, 340, "child window width");
            checks.expectEqual (client.bottom - client.top, 130, "child window height");
            checks.expect (IsWindowVisible (child) != 0, "the child window is visible");

            // Drawn, not just sized: the panel's background colour, and the light title text.
            const auto pixels = capture (child, 340, 130, bmpPath);
            checks.expectEqual (pixels[(size_t) (4 * 340 + 4)] & 0xFFFFFFu, 0x111113u, "background pixel (BGR)");
            int lightTitlePixels = 0;
            for (int y = 16; y < 40; ++y)
                for (int x = 16; x < 200; ++x)
                    lightTitlePixels += (pixels[(size_t) (y * 340 + x)] & 0xFFu) > 0xC0 ? 1 : 0;
            checks.expect (lightTitlePixels > 50, "the title is drawn (" + std::to_string (lightTitlePixels) + " light pixels)");
        }

        checks.section ("close");
        checks.expectEqual (view->removed(), kResultOk, "removed");
        checks.expectEqual (view->release(), 0u, "the host's release frees the view");
        pumpMessages (200);
        DestroyWindow (parent);

        componentPoint->disconnect (controllerPoint);
        controllerPoint->disconnect (componentPoint);
        componentPoint->release();
        controllerPoint->release();
        checks.expectEqual (controller->terminate(), kResultOk, "the controller's terminate");
        checks.expectEqual (controller->release(), 0u, "the last release frees the controller");
        checks.expect (instance.shutDown(), "terminate succeeds and the last release frees the component");
        checks.expect (module.unload(), "ExitDll returns true and FreeLibrary succeeds");
        return checks.finish();
    }

    //==============================================================================
    // Commands arrive on stdin, one a line, read on a thread of their own; end of input means stop.
    class CommandQueue
    {
    public:
        void start()
        {
            std::thread ([this]
            {
                std::string line;
                while (std::getline (std::cin, line))
                    push (line);
                push ("stop");
            }).detach();
        }

        bool pop (std::string& line)
        {
            const std::lock_guard<std::mutex> lock (mutex);
            if (lines.empty())
                return false;
            line = lines.front();
            lines.pop_front();
            return true;
        }

    private:
        void push (const std::string& line)
        {
            const std::lock_guard<std::mutex> lock (mutex);
            lines.push_back (line);
        }

        std::mutex mutex;
        std::deque<std::string> lines;
    };

    struct FeedOptions
    {
        double rate = 48000.0;
        int block = 256;
        double seconds = 60.0;
        bool mono = false;
        bool playing = true;
        int instances = 1;
        std::string fedPrefix;
    };

    struct Fed
    {
        std::unique_ptr<Instance> instance;
        std::vector<float> frames;       // every frame fed, left and right
        long long position = 0;
        long long passThroughFaults = 0;
        bool active = true;
    };

    void writeLine (const std::string& line)
    {
        std::printf ("%s\n", line.c_str());
        std::fflush (stdout);
    }

    // Processes every active instance at real-time pace on an audio thread, as a DAW does, while this
    // thread pumps messages and carries out commands:
    //   mark       answers "mark N0 [N1]", the frames fed to each instance so far
    //   release K  stops, terminates and releases instance K, then answers "released K"
    //   stop       ends the run (as does the end of input)
    // At the end each instance's fed frames go to PREFIX-K.f32 (little-endian float32, L R).
    int runFeed (const std::string& modulePath, const FeedOptions& options)
    {
        HostContext host;
        LoadedModule module;
        std::string error;

        if (! module.load (widen (modulePath), error) || ! module.keepFactory (error))
        {
            std::fprintf (stderr, "%s\n", error.c_str());
            return 1;
        }

        const auto channels = options.mono ? 1 : 2;
        std::vector<Fed> feeds ((size_t) options.instances);

        for (auto& fed : feeds)
        {
            fed.instance = std::make_unique<Instance>();

            if (! fed.instance->create (*module.factory, kComponentId, &host, error)
                || ! fed.instance->start (channels, options.rate, options.block, error))
            {
                std::fprintf (stderr, "%s\n", error.c_str());
                return 1;
            }
        }

        CommandQueue commands;
        commands.start();

        std::mutex feedLock;
        std::atomic<bool> finished { false };
        const auto totalFrames = (long long) std::ceil (options.seconds * options.rate);

        writeLine ("ready");

        std::thread audio ([&]
        {
            using Clock = std::chrono::steady_clock;
            const auto start = Clock::now();
            long long frame = 0;

            while (frame < totalFrames && ! finished.load())
            {
                // Each block is due at its own time measured from the start, so late wake-ups never add up.
                std::this_thread::sleep_until (start + std::chrono::nanoseconds ((long long) ((double) frame * 1.0e9 / options.rate)));
                const auto n = (int) std::min ((long long) options.block, totalFrames - frame);

                const std::lock_guard<std::mutex> lock (feedLock);

                for (size_t k = 0; k < feeds.size(); ++k)
                {
                    auto& fed = feeds[k];
                    if (! fed.active)
                        continue;

                    auto& instance = *fed.instance;

                    for (int i = 0; i < n; ++i)
                    {
                        const auto left = leftSample (fed.position + i);
                        const auto right = options.mono ? left : rightSample (fed.position + i, (int) k);
                        instance.input[0][(size_t) i] = left;
                        if (channels > 1)
                            instance.input[1][(size_t) i] = right;
                        fed.frames.push_back (left);
                        fed.frames.push_back (right);
                    }

                    if (! instance.process (n, options.playing, fed.position))
                        ++fed.passThroughFaults;

                    for (int c = 0; c < channels; ++c)
                        if (std::memcmp (instance.input[(size_t) c].data(), instance.output[(size_t) c].data(), (size_t) n * sizeof (float)) != 0)
                            ++fed.passThroughFaults;

                    fed.position += n;
                }

                frame += n;
            }

            finished.store (true);
        });

        while (! finished.load())
        {
            MSG message;
            while (PeekMessageW (&message, nullptr, 0, 0, PM_REMOVE))
            {
                TranslateMessage (&message);
                DispatchMessageW (&message);
            }

            std::string command;
            while (commands.pop (command))
            {
                if (command == "stop")
                {
                    finished.store (true);
                }
                else if (command == "mark")
                {
                    const std::lock_guard<std::mutex> lock (feedLock);
                    std::string line = "mark";
                    for (const auto& fed : feeds)
                        line += " " + std::to_string (fed.position);
                    writeLine (line);
                }
                else if (command.rfind ("release ", 0) == 0)
                {
                    const auto k = (size_t) std::atoi (command.c_str() + 8);
                    if (k < feeds.size() && feeds[k].active)
                    {
                        {
                            const std::lock_guard<std::mutex> lock (feedLock);
                            feeds[k].active = false;
                        }

                        feeds[k].instance->stop();
                        if (! feeds[k].instance->shutDown())
                            ++feeds[k].passThroughFaults;
                        writeLine ("released " + std::to_string (k));
                    }
                }
            }

            Sleep (5);
        }

        audio.join();

        int result = 0;

        for (size_t k = 0; k < feeds.size(); ++k)
        {
            auto& fed = feeds[k];

            if (fed.active)
            {
                fed.instance->stop();
                if (! fed.instance->shutDown())
                    ++fed.passThroughFaults;
            }

            if (fed.passThroughFaults != 0)
            {
                std::fprintf (stderr, "instance %d: %lld faults (altered audio, a failed process call or an unclean shut-down)\n",
                              (int) k, fed.passThroughFaults);
                result = 1;
            }

            if (! options.fedPrefix.empty())
            {
                // Windows is little-endian, as the file is meant to be.
                std::ofstream out (options.fedPrefix + "-" + std::to_string (k) + ".f32", std::ios::binary);
                out.write (reinterpret_cast<const char*> (fed.frames.data()), (std::streamsize) (fed.frames.size() * sizeof (float)));
                if (! out)
                    result = 1;
            }
        }

        if (! module.unload())
        {
            std::fprintf (stderr, "ExitDll or FreeLibrary failed\n");
            result = 1;
        }

        return result;
    }

    bool parseFeedOptions (int argc, char** argv, FeedOptions& options)
    {
        for (int i = 3; i < argc; ++i)
        {
            const std::string arg = argv[i];
            const auto hasValue = i + 1 < argc;

            if (arg == "--mono")
                options.mono = true;
            else if (arg == "--stopped")
                options.playing = false;
            else if (arg == "--rate" && hasValue)
                options.rate = std::atof (argv[++i]);
            else if (arg == "--block" && hasValue)
                options.block = std::atoi (argv[++i]);
            else if (arg == "--seconds" && hasValue)
                options.seconds = std::atof (argv[++i]);
            else if (arg == "--instances" && hasValue)
                options.instances = std::atoi (argv[++i]);
            else if (arg == "--fed" && hasValue)
                options.fedPrefix = argv[++i];
            else
                return false;
        }

        return options.rate >= 8000.0 && options.block >= 1 && options.seconds > 0.0
            && (options.instances == 1 || options.instances == 2);
    }
}

int main (int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";

    if (argc >= 3 && mode == "check")
        return runCheck (argv[2]);

    if (argc >= 3 && mode == "editor")
        return runEditor (argv[2], argc > 3 ? argv[3] : "");

    FeedOptions options;
    if (argc >= 3 && mode == "feed" && parseFeedOptions (argc, argv, options))
        return runFeed (argv[2], options);

    std::fprintf (stderr, "usage: velmorine_win_host check MODULE\n"
                          "       velmorine_win_host editor MODULE [CAPTURE.bmp]\n"
                          "       velmorine_win_host feed MODULE [--rate R] [--block B] [--seconds S] [--mono] [--stopped]\n"
                          "                               [--instances 1|2] [--fed PREFIX]\n");
    return 2;
}
