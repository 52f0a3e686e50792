#include "support/streams/ScreenReference.h"

#include "support/streams/CarefulDecode.h"
#include "support/streams/Libav.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include <memory>
#include <string>
#include <vector>

namespace {

struct GraphDeleter {
    void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
struct InOutDeleter {
    void operator()(AVFilterInOut* ends) const { avfilter_inout_free(&ends); }
};

// One end of the chain given to the graph parser: a filter's pad, by the label it is known by.
std::unique_ptr<AVFilterInOut, InOutDeleter> End(const char* label, AVFilterContext* filter)
{
    std::unique_ptr<AVFilterInOut, InOutDeleter> end(Require(avfilter_inout_alloc(), "filter end"));
    end->name = av_strdup(label);
    end->filter_ctx = filter;
    return end;
}

cv::Mat Convert(const AVFrame& decoded)
{
    std::unique_ptr<AVFilterGraph, GraphDeleter> graph(Require(avfilter_graph_alloc(), "filter graph"));
    const std::string source = "video_size=" + std::to_string(decoded.width) + "x" + std::to_string(decoded.height)
        + ":pix_fmt=" + std::to_string(decoded.format) + ":time_base=1/25:pixel_aspect=1/1";
    AVFilterContext* in = nullptr;
    AVFilterContext* out = nullptr;
    Check(avfilter_graph_create_filter(&in, avfilter_get_by_name("buffer"), "in", source.c_str(), nullptr, graph.get()),
          "buffer source");
    Check(avfilter_graph_create_filter(&out, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph.get()),
          "buffer sink");
    // The source's end of the chain is its output, the sink's its input.
    // Exact curves (agamma=0): the approximate ones take HLG's system gamma channel by channel.
    auto outputs = End("in", in), inputs = End("out", out);
    AVFilterInOut* outputsEnd = outputs.release();
    AVFilterInOut* inputsEnd = inputs.release();
    const int parsed = avfilter_graph_parse_ptr(graph.get(), "zscale=t=bt709:p=bt709:npl=203:agamma=0,format=gbrpf32le",
                                                &inputsEnd, &outputsEnd, nullptr);
    avfilter_inout_free(&inputsEnd);
    avfilter_inout_free(&outputsEnd);
    Check(parsed, "zscale");
    Check(avfilter_graph_config(graph.get(), nullptr), "configuring the filters");

    Frame frame(Require(av_frame_clone(&decoded), "frame"));
    Check(av_buffersrc_add_frame(in, frame.get()), "filtering");
    Check(av_buffersrc_add_frame(in, nullptr), "ending the filtering");
    Frame converted(Require(av_frame_alloc(), "frame"));
    Check(av_buffersink_get_frame(out, converted.get()), "the converted frame");
    // Planar float RGB: green, blue, red.
    const auto plane = [&](int i) {
        return cv::Mat(converted->height, converted->width, CV_32F, converted->data[i], std::size_t(converted->linesize[i]));
    };
    cv::Mat reference;
    cv::merge(std::vector<cv::Mat>{plane(1), plane(0), plane(2)}, reference);
    return reference * 255;
}

}  // namespace

cv::Mat ScreenReference(const std::filesystem::path& path)
{
    cv::Mat reference;
    DecodeCarefully(path, [&reference](const ReferenceFrame& frame) {
        if (reference.empty())
            reference = Convert(*frame.decoded);
    });
    return reference;
}
