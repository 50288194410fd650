// velmorine-listen: the companion app's side of the link, for checking a set-up without the app.
// It connects as the app does, validates every audio packet, shows what arrives, and can record it.

#include "common/WavFile.h"
#include "server/AudioPacket.h"
#include "server/Handshake.h"
#include "server/WireFormat.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <random>
#include <unistd.h>

namespace wire = velmorine::wire;

namespace
{
    enum ExitCode
    {
        exitOk = 0,
        exitUsage = 1,
        exitNothingListening = 2,
        exitHandshakeRefused = 3,
        exitConnectionLost = 4,
        exitBrokenPacket = 5,
        exitCannotRecord = 6
    };

    const char* const kHelp =
        "velmorine-listen: connect to Velmorine Link as the Velmorine app does, and show or record the audio.\n"
        "\n"
        "Usage: velmorine-listen [options]\n"
        "  --port N           port on 127.0.0.1 (default 47800)\n"
        "  --record FILE.wav  write what arrives as 32-bit float stereo WAV at the stream's rate;\n"
        "                     a rate change mid-stream starts a new file named FILE-<rate>Hz.wav\n"
        "  --seconds N        stop after N seconds of audio\n"
        "  --reconnect        when the connection is lost, wait a second and connect again\n"
        "  --help             this text\n"
        "\n"
        "Ctrl-C stops cleanly and finishes the recording.\n"
        "Exit codes: 0 done, 1 bad options, 2 nothing listening, 3 the port answered but not as the\n"
        "plug-in would, 4 connection lost, 5 a broken packet arrived, 6 the recording cannot be written.\n";

    std::atomic<bool> interrupted { false };

    void onInterrupt (int) { interrupted = true; }

    struct Options
    {
        int port = wire::kDefaultPort;
        juce::File record;
        double seconds = 0.0;
        bool reconnect = false;
    };

    double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }

    juce::String decibels (float peak)
    {
        if (peak <= 0.0f)
            return "-inf";
        return juce::String (20.0 * std::log10 ((double) peak), 1);
    }

    juce::String meter (float peak)
    {
        // 20 cells for -60..0 dBFS.
        const auto db = peak > 0.0f ? 20.0 * std::log10 ((double) peak) : -100.0;
        const auto cells = juce::jlimit (0, 20, (int) std::round ((db + 60.0) / 3.0));
        return juce::String::repeatedString ("#", cells) + juce::String::repeatedString (".", 20 - cells);
    }

    // The stream as received so far, for the status line, the summary and the recording.
    struct Stream
    {
        juce::int64 frames = 0;
        juce::int64 packets = 0;
        std::uint32_t rate = 0;
        bool playing = false;
        int gaps = 0;
        double connectedAt = 0.0;
        double firstAudioMs = -1.0;
        double lastPacketAt = 0.0;
        double lastPacketDurationMs = 0.0;
        float peakLeft = 0.0f, peakRight = 0.0f;
        juce::int64 packetsAtLastStatus = 0;
        double lastStatusAt = 0.0;

        double seconds() const { return rate > 0 ? (double) frames / rate : 0.0; }
    };

    class Listener
    {
    public:
        explicit Listener (const Options& o) : options (o) {}

        int run()
        {
            for (;;)
            {
                const auto result = session();

                if (result != exitConnectionLost || ! options.reconnect || interrupted || done())
                {
                    finishRecording();
                    printSummary();
                    return result == exitConnectionLost && done() ? exitOk : result;
                }

                std::fprintf (stderr, "Reconnecting in 1 s...\n");
                for (int i = 0; i < 10 && ! interrupted; ++i)
                    juce::Thread::sleep (100);

                if (interrupted)
                {
                    finishRecording();
                    printSummary();
                    return exitOk;
                }
            }
        }

    private:
        bool done() const
        {
            return options.seconds > 0.0 && stream.seconds() >= options.seconds;
        }

        int session()
        {
            socket = std::make_unique<juce::StreamingSocket>();

            if (! socket->connect (wire::kLoopbackAddress, options.port, 2000))
            {
                std::fprintf (stderr, "Nothing is listening on 127.0.0.1:%d. Is Velmorine Link loaded in your DAW?\n", options.port);
                return exitNothingListening;
            }

            juce::String refusal;

            if (! handshake (refusal))
            {
                std::fprintf (stderr, "The port answered, but not as Velmorine Link would: %s\n", refusal.toRawUTF8());
                return exitHandshakeRefused;
            }

            stream.connectedAt = nowMs();
            stream.lastPacketAt = 0.0;
            stream.firstAudioMs = -1.0;
            std::fprintf (stderr, "Connected to Velmorine Link on 127.0.0.1:%d\n", options.port);
            return readPackets();
        }

        bool handshake (juce::String& refusal)
        {
            std::random_device device;
            std::uint8_t nonce[16];
            for (auto& b : nonce)
                b = (std::uint8_t) device();

            const auto key = juce::Base64::toBase64 (nonce, sizeof (nonce));
            const auto request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + juce::String (options.port)
                               + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key
                               + "\r\nSec-WebSocket-Version: 13\r\n\r\n";

            if (! writeAll (request.toRawUTF8(), request.getNumBytesAsUTF8()))
            {
                refusal = "the connection closed before the request was sent";
                return false;
            }

            std::string head;
            const auto deadline = nowMs() + 5000.0;

            while (head.find ("\r\n\r\n") == std::string::npos)
            {
                char c;
                if (nowMs() > deadline || ! readExactly (&c, 1))
                {
                    refusal = head.empty() ? juce::String ("no answer to the upgrade request")
                                           : "an incomplete answer: " + juce::String (head).upToFirstOccurrenceOf ("\r\n", false, false);
                    return false;
                }
                head += c;

                if (head.size() > 16384)
                {
                    refusal = "an answer too long to be the plug-in's";
                    return false;
                }
            }

            juce::StringArray lines;
            lines.addLines (juce::String (head));
            const auto statusLine = lines[0];

            if (! statusLine.startsWith ("HTTP/1.1 101"))
            {
                refusal = "\"" + statusLine + "\"";
                return false;
            }

            juce::String accept;
            for (const auto& line : lines)
                if (line.startsWithIgnoreCase ("Sec-WebSocket-Accept:"))
                    accept = line.fromFirstOccurrenceOf (":", false, false).trim();

            if (accept != webSocketAcceptValue (key))
            {
                refusal = "\"" + statusLine + "\" with a wrong Sec-WebSocket-Accept value";
                return false;
            }

            return true;
        }

        int readPackets()
        {
            std::vector<std::uint8_t> message;

            while (! interrupted && ! done())
            {
                std::uint8_t opcode = 0;
                const auto got = readFrame (opcode, message);

                if (got == FrameResult::stopped)
                    break;

                if (got == FrameResult::lost)
                {
                    std::fprintf (stderr, "%sConnection lost after %.1f s of audio.\n", isTerminal ? "\n" : "", stream.seconds());
                    return exitConnectionLost;
                }

                if (opcode == wire::kOpPing)
                {
                    sendClientFrame (wire::kOpPong, message.data(), message.size());
                    continue;
                }

                if (opcode == wire::kOpClose)
                {
                    std::fprintf (stderr, "The plug-in closed the connection after %.1f s of audio.\n", stream.seconds());
                    return exitConnectionLost;
                }

                if (opcode != wire::kOpBinary)
                {
                    std::fprintf (stderr, "Broken stream: a frame with opcode %d; the plug-in sends binary audio packets only.\n", opcode);
                    return exitBrokenPacket;
                }

                PacketHeader header;

                if (const auto* problem = parseAudioPacket (message.data(), message.size(), header))
                {
                    std::fprintf (stderr, "%sBroken packet #%lld (%zu bytes): %s.\n", isTerminal ? "\n" : "",
                                  (long long) stream.packets + 1, message.size(), problem);
                    return exitBrokenPacket;
                }

                if (! take (header, message.data() + wire::kPacketHeaderBytes))
                    return exitCannotRecord;

                showStatus (false);
            }

            // Leave as the app does: a close frame, then the socket.
            const std::uint8_t normal[] = { 0x03, 0xE8 };
            sendClientFrame (wire::kOpClose, normal, sizeof (normal));
            socket->close();
            showStatus (true);
            return exitOk;
        }

        bool take (const PacketHeader& header, const std::uint8_t* frames)
        {
            const auto now = nowMs();

            if (stream.firstAudioMs < 0.0)
                stream.firstAudioMs = now - stream.connectedAt;

            // A gap: the host plays, yet nothing came for longer than the pacing allows.
            if (stream.lastPacketAt > 0.0 && stream.playing && now - stream.lastPacketAt > wire::kPacketDueMs + stream.lastPacketDurationMs)
                ++stream.gaps;

            if (options.record != juce::File() && header.sampleRate != stream.rate)
                if (! startRecording (header.sampleRate))
                    return false;

            auto framesToTake = (int) header.frames;

            if (options.seconds > 0.0 && header.sampleRate > 0)
                framesToTake = (int) juce::jmin ((juce::int64) framesToTake,
                                                 (juce::int64) std::ceil (options.seconds * header.sampleRate) - stream.frames);

            const auto* samples = reinterpret_cast<const float*> (frames);
            std::vector<float> copy ((size_t) framesToTake * 2);
            std::memcpy (copy.data(), samples, copy.size() * sizeof (float));

            for (size_t i = 0; i < copy.size(); i += 2)
            {
                stream.peakLeft = juce::jmax (stream.peakLeft, std::abs (copy[i]));
                stream.peakRight = juce::jmax (stream.peakRight, std::abs (copy[i + 1]));
            }

            if (writer.isOpen() && ! writer.write (copy.data(), framesToTake))
            {
                std::fprintf (stderr, "Cannot write the recording.\n");
                return false;
            }

            stream.rate = header.sampleRate;
            stream.playing = header.playing;
            stream.frames += framesToTake;
            stream.packets += 1;
            stream.lastPacketAt = now;
            stream.lastPacketDurationMs = header.sampleRate > 0 ? 1000.0 * header.frames / header.sampleRate : 0.0;
            return true;
        }

        bool startRecording (std::uint32_t rate)
        {
            auto file = options.record;

            if (recordingsStarted > 0)
            {
                file = options.record.getSiblingFile (options.record.getFileNameWithoutExtension() + "-" + juce::String (rate) + "Hz"
                                                      + options.record.getFileExtension());
                for (int n = 2; file.exists() && n < 1000; ++n)
                    file = options.record.getSiblingFile (options.record.getFileNameWithoutExtension() + "-" + juce::String (rate) + "Hz-"
                                                          + juce::String (n) + options.record.getFileExtension());
                std::fprintf (stderr, "%sThe sample rate changed to %u Hz: recording continues in %s\n",
                              isTerminal ? "\n" : "", rate, file.getFullPathName().toRawUTF8());
            }

            if (! writer.open (file.getFullPathName().toStdString(), (int) rate))
            {
                std::fprintf (stderr, "Cannot write the recording %s\n", file.getFullPathName().toRawUTF8());
                return false;
            }

            ++recordingsStarted;
            return true;
        }

        void finishRecording()
        {
            if (writer.isOpen())
                writer.finish();
        }

        void showStatus (bool final)
        {
            const auto now = nowMs();
            const auto interval = isTerminal ? 250.0 : 1000.0;

            if (! final && now - stream.lastStatusAt < interval)
                return;

            const auto elapsed = stream.lastStatusAt > 0.0 ? (now - stream.lastStatusAt) / 1000.0 : 1.0;
            const auto packetRate = (double) (stream.packets - stream.packetsAtLastStatus) / juce::jmax (0.001, elapsed);
            const auto line = juce::String ("connected  ") + juce::String (stream.rate) + " Hz  "
                            + (stream.playing ? "playing" : "stopped") + "  "
                            + juce::String (stream.seconds(), 1) + " s  "
                            + juce::String (juce::roundToInt (packetRate)) + " pkt/s  L "
                            + meter (stream.peakLeft) + " " + decibels (stream.peakLeft) + "  R "
                            + meter (stream.peakRight) + " " + decibels (stream.peakRight) + " dBFS  gaps "
                            + juce::String (stream.gaps);

            if (isTerminal)
                std::fprintf (stdout, "\r%s\033[K%s", line.toRawUTF8(), final ? "\n" : "");
            else
                std::fprintf (stdout, "%s\n", line.toRawUTF8());

            std::fflush (stdout);
            stream.peakLeft = stream.peakRight = 0.0f;
            stream.packetsAtLastStatus = stream.packets;
            stream.lastStatusAt = now;
        }

        void printSummary()
        {
            std::fprintf (stdout, "received %lld frames (%.2f s) at %u Hz in %lld packets; first audio %s after connect; %d gaps\n",
                          (long long) stream.frames, stream.seconds(), stream.rate, (long long) stream.packets,
                          stream.firstAudioMs >= 0.0 ? (juce::String (juce::roundToInt (stream.firstAudioMs)) + " ms").toRawUTF8() : "never",
                          stream.gaps);
            std::fflush (stdout);
        }

        enum class FrameResult { ok, lost, stopped };

        // One frame from the server, which never masks. Waits in short steps so that Ctrl-C is seen.
        FrameResult readFrame (std::uint8_t& opcode, std::vector<std::uint8_t>& payload)
        {
            std::uint8_t head[2];
            const auto first = readExactly (head, 2);

            if (! first)
                return interrupted ? FrameResult::stopped : FrameResult::lost;

            opcode = head[0] & 0x0f;
            std::uint64_t length = head[1] & 0x7f;

            if (length >= 126)
            {
                std::uint8_t ext[8];
                const auto n = length == 126 ? 2 : 8;
                if (! readExactly (ext, (size_t) n))
                    return FrameResult::lost;
                length = 0;
                for (int i = 0; i < n; ++i)
                    length = (length << 8) | ext[i];
            }

            if ((head[1] & 0x80) != 0 || length > 1u << 20)
            {
                std::fprintf (stderr, "Broken stream: a frame header no server of the plug-in sends.\n");
                return FrameResult::lost;
            }

            payload.resize ((size_t) length);
            return length == 0 || readExactly (payload.data(), payload.size()) ? FrameResult::ok : FrameResult::lost;
        }

        bool readExactly (void* data, size_t size)
        {
            auto* p = static_cast<char*> (data);

            while (size > 0)
            {
                if (interrupted)
                    return false;

                const auto ready = socket->waitUntilReady (true, 100);

                if (ready < 0)
                    return false;

                if (ready == 0)
                {
                    if (stream.connectedAt > 0.0)
                        showStatus (false);
                    continue;
                }

                const auto got = socket->read (p, (int) size, false);

                if (got <= 0)
                    return false;

                p += got;
                size -= (size_t) got;
            }

            return true;
        }

        bool writeAll (const void* data, size_t size)
        {
            return socket->write (data, (int) size) == (int) size;
        }

        // Clients mask every frame they send, with a fresh key each time.
        void sendClientFrame (std::uint8_t opcode, const std::uint8_t* payload, size_t size)
        {
            std::vector<std::uint8_t> frame { (std::uint8_t) (0x80 | opcode) };

            if (size < 126)
            {
                frame.push_back ((std::uint8_t) (0x80 | size));
            }
            else
            {
                frame.push_back (0x80 | 126);
                frame.push_back ((std::uint8_t) (size >> 8));
                frame.push_back ((std::uint8_t) size);
            }

            std::uint8_t mask[4];
            for (auto& b : mask)
                b = (std::uint8_t) random.nextInt (256);

            frame.insert (frame.end(), mask, mask + 4);
            for (size_t i = 0; i < size; ++i)
                frame.push_back ((std::uint8_t) (payload[i] ^ mask[i % 4]));

            writeAll (frame.data(), frame.size());
        }

        Options options;
        std::unique_ptr<juce::StreamingSocket> socket;
        Stream stream;
        velmorine::FloatWavWriter writer;
        int recordingsStarted = 0;
        juce::Random random;
        const bool isTerminal = isatty (STDOUT_FILENO) != 0;
    };

    bool parse (const juce::StringArray& args, Options& options)
    {
        for (int i = 0; i < args.size(); ++i)
        {
            const auto& arg = args[i];
            const bool hasValue = i + 1 < args.size();

            if (arg == "--help" || arg == "-h")
            {
                std::fputs (kHelp, stdout);
                std::exit (exitOk);
            }
            else if (arg == "--reconnect")
                options.reconnect = true;
            else if (arg == "--port" && hasValue)
                options.port = args[++i].getIntValue();
            else if (arg == "--record" && hasValue)
                options.record = juce::File::getCurrentWorkingDirectory().getChildFile (args[++i]);
            else if (arg == "--seconds" && hasValue)
                options.seconds = args[++i].getDoubleValue();
            else
            {
                std::fprintf (stderr, "velmorine-listen: unknown or incomplete option '%s' (see --help)\n", arg.toRawUTF8());
                return false;
            }
        }

        if (options.port < 1 || options.port > 65535 || options.seconds < 0.0)
        {
            std::fprintf (stderr, "velmorine-listen: --port takes 1..65535 and --seconds a positive number\n");
            return false;
        }

        return true;
    }
}

int main (int argc, char** argv)
{
    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (juce::String::fromUTF8 (argv[i]));

    Options options;
    if (! parse (args, options))
        return exitUsage;

    // Our own process: a server that goes away must end the session, not this program.
    std::signal (SIGPIPE, SIG_IGN);
    std::signal (SIGINT, onInterrupt);
    std::signal (SIGTERM, onInterrupt);

    Listener listener (options);
    return listener.run();
}
