#include "farm/plan.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>

#include <nlohmann/json.hpp>

#include "source/audio_track.h"

extern "C" {
#include <libavutil/hash.h>
}

namespace {

using Json = nlohmann::json;

// A plan of another layout is refused rather than misread.
constexpr int kPlanVersion = 1;

std::string SegmentName(const FarmPlan& plan, size_t index) {
    char name[64];
    std::snprintf(name, sizeof name, "/seg-%05zu.%s", index, plan.lossless ? "mkv" : "mov");
    return plan.job + name;
}

void AddSegment(FarmPlan* plan, int32_t source, int32_t task, int32_t first, int32_t last) {
    const FarmSource& s = plan->sources[size_t(source)];
    FarmSegment segment;
    segment.source = source;
    segment.task = task;
    segment.first = first;
    segment.last = last;
    segment.samples = s.audio_rate > 0 ? FrameSampleStart(last + 1, s.audio_rate, s.frame_rate) -
                                             FrameSampleStart(first, s.audio_rate, s.frame_rate)
                                       : 0;
    segment.file = SegmentName(*plan, plan->segments.size());
    plan->segments.push_back(segment);
}

Json SourceJson(const FarmSource& s) {
    return Json{{"path", s.path},
                {"output", s.output},
                {"frames", s.frames},
                {"frame_rate", {s.frame_rate.num, s.frame_rate.den}},
                {"audio_rate", s.audio_rate},
                {"channels", s.channels}};
}

Json SegmentJson(const FarmSegment& s) {
    return Json{{"source", s.source}, {"task", s.task},       {"first", s.first},
                {"last", s.last},     {"samples", s.samples}, {"file", s.file}};
}

void ReadJson(const Json& j, FarmPlan* plan) {
    plan->job = j.at("job").get<std::string>();
    plan->program = j.at("program").get<std::string>();
    plan->plugin = j.at("plugin").get<std::string>();
    plan->lossless = j.at("lossless").get<bool>();
    plan->audio_codec = j.at("audio_codec").get<std::string>();
    plan->audio_bitrate = j.at("audio_bitrate").get<std::string>();
    plan->render_args = j.at("render_args").get<std::vector<std::string>>();
    plan->tasks = j.at("tasks").get<int32_t>();
    plan->hashes = j.at("hashes").get<std::map<std::string, std::string>>();
    for (const Json& s : j.at("sources")) {
        FarmSource source;
        source.path = s.at("path").get<std::string>();
        source.output = s.at("output").get<std::string>();
        source.frames = s.at("frames").get<int32_t>();
        source.frame_rate = {s.at("frame_rate").at(0).get<int>(),
                             s.at("frame_rate").at(1).get<int>()};
        source.audio_rate = s.at("audio_rate").get<int32_t>();
        source.channels = s.at("channels").get<int32_t>();
        plan->sources.push_back(source);
    }
    for (const Json& s : j.at("segments")) {
        FarmSegment segment;
        segment.source = s.at("source").get<int32_t>();
        segment.task = s.at("task").get<int32_t>();
        segment.first = s.at("first").get<int32_t>();
        segment.last = s.at("last").get<int32_t>();
        segment.samples = s.at("samples").get<int64_t>();
        segment.file = s.at("file").get<std::string>();
        if (segment.source < 0 || size_t(segment.source) >= plan->sources.size()) {
            throw std::out_of_range("a segment names no source of the plan");
        }
        plan->segments.push_back(segment);
    }
}

}  // namespace

void CutIntoSegments(FarmPlan* plan, int32_t segments) {
    int64_t total = 0;
    for (const FarmSource& s : plan->sources)
        total += s.frames;
    segments = std::max(segments, 1);
    int64_t share = std::max<int64_t>(1, (total + segments - 1) / segments);
    int32_t task = 0;
    int64_t grouped = 0;  // frames in the open task of short sources
    for (size_t i = 0; i < plan->sources.size(); ++i) {
        int32_t frames = plan->sources[i].frames;
        if (frames >= share || plan->sources.size() == 1) {
            int32_t pieces = std::max<int32_t>(
                1, std::min<int32_t>(frames,
                                     int32_t(std::llround(double(frames) * segments /
                                                          double(std::max<int64_t>(total, 1))))));
            for (int32_t k = 0; k < pieces; ++k) {
                int32_t first = int32_t(int64_t(frames) * k / pieces);
                int32_t last = int32_t(int64_t(frames) * (k + 1) / pieces) - 1;
                AddSegment(plan, int32_t(i), task++, first, last);
            }
            continue;
        }
        // Short sources share a task (placed after the long ones' tasks by
        // index order; each task runs its segments one after another).
        if (grouped > 0 && grouped + frames > share) {
            ++task;
            grouped = 0;
        }
        AddSegment(plan, int32_t(i), task, 0, frames - 1);
        grouped += frames;
        if (grouped >= share) {
            ++task;
            grouped = 0;
        }
    }
    plan->tasks = grouped > 0 ? task + 1 : task;
}

std::string HashFile(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read " + path;
        return "";
    }
    AVHashContext* context = nullptr;
    if (av_hash_alloc(&context, "SHA256") < 0) {
        std::fclose(file);
        *error = "out of memory";
        return "";
    }
    av_hash_init(context);
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[1 << 20]);
    size_t got;
    while ((got = std::fread(chunk.get(), 1, 1 << 20, file)) > 0)
        av_hash_update(context, chunk.get(), got);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    char hex[2 * AV_HASH_MAX_SIZE + 1];
    av_hash_final_hex(context, reinterpret_cast<uint8_t*>(hex), sizeof hex);
    av_hash_freep(&context);
    if (failed) {
        *error = "cannot read " + path;
        return "";
    }
    return hex;
}

bool WritePlan(const FarmPlan& plan, const std::string& path, std::string* error) {
    Json j{{"kinetra_farm_plan", kPlanVersion},
           {"job", plan.job},
           {"program", plan.program},
           {"plugin", plan.plugin},
           {"lossless", plan.lossless},
           {"audio_codec", plan.audio_codec},
           {"audio_bitrate", plan.audio_bitrate},
           {"render_args", plan.render_args},
           {"tasks", plan.tasks},
           {"hashes", plan.hashes},
           {"sources", Json::array()},
           {"segments", Json::array()}};
    for (const FarmSource& s : plan.sources)
        j["sources"].push_back(SourceJson(s));
    for (const FarmSegment& s : plan.segments)
        j["segments"].push_back(SegmentJson(s));
    std::string temporary = path + ".new";
    {
        std::ofstream out(temporary);
        out << j.dump(2) << "\n";
        if (!out.flush()) {
            *error = "cannot write " + temporary;
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool ReadPlan(const std::string& path, FarmPlan* plan, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read the plan";
        return false;
    }
    try {
        Json j = Json::parse(in);
        if (j.value("kinetra_farm_plan", 0) != kPlanVersion) {
            *error = "not a kinetra farm plan (or one of another version)";
            return false;
        }
        ReadJson(j, plan);
    } catch (const std::exception& e) {
        *error = std::string("not a readable plan: ") + e.what();
        return false;
    }
    return true;
}
