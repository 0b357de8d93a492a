// The common layer against baselines run in the same process: the document wrapper against
// pugixml used directly (building and serialising a 47-element contact, parsing one and reading
// every field), the hex and base64 codecs against plain table loops, and date texts against
// snprintf / sscanf of the same fields, UTC-to-local conversion against localtime_r. Each pair is
// "<case>/agent" and "<case>/baseline"; the run ends with a table of agent/baseline CPU-time ratios (CPU
// time, since the machine is shared).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "bench/support/RatioReporter.h"
#include "common/DateTime.h"
#include "common/Encoding.h"
#include "common/TimeZone.h"
#include "common/XMLParser.h"

using namespace NAMESPACE_COMMON;

namespace {

const std::vector<std::string>& ContactFields() {
    static const std::vector<std::string> names = {"CsFolder",
                                                   "lFlag",
                                                   "PIMID",
                                                   "CreateTime",
                                                   "lastModifiedTime",
                                                   "FullName",
                                                   "FirstName",
                                                   "LastName",
                                                   "MiddleName",
                                                   "Title",
                                                   "Suffix",
                                                   "NickName",
                                                   "CompanyName",
                                                   "JobTitle",
                                                   "Department",
                                                   "OfficeLocation",
                                                   "Email1",
                                                   "Email2",
                                                   "Email3",
                                                   "BusinessPhone",
                                                   "BusinessPhone2",
                                                   "HomePhone",
                                                   "HomePhone2",
                                                   "MobilePhone",
                                                   "BusinessFax",
                                                   "HomeFax",
                                                   "Pager",
                                                   "CarPhone",
                                                   "OtherPhone",
                                                   "AssistantPhone",
                                                   "BusinessStreet",
                                                   "BusinessCity",
                                                   "BusinessState",
                                                   "BusinessPostalCode",
                                                   "BusinessCountry",
                                                   "HomeStreet",
                                                   "HomeCity",
                                                   "HomeState",
                                                   "HomePostalCode",
                                                   "HomeCountry",
                                                   "WebPage",
                                                   "Birthday",
                                                   "Anniversary",
                                                   "Spouse",
                                                   "Children",
                                                   "Categories",
                                                   "Body"};
    return names;
}

std::string FieldText(std::size_t i) {
    return i == 46 ? std::string("Notes & remarks <kept>\r\nsecond line of the notes text")
                   : "Value " + std::to_string(i) + " text";
}

std::string BuildWithParser() {
    CXMLParser p;
    p.Init();
    p.CreateHeader();
    p.CreateRoot("Contact");
    const auto& names = ContactFields();
    for (std::size_t i = 0; i < names.size(); ++i)
        p.CreateChildNode(names[i].c_str(), FieldText(i).c_str(), CXMLNode(), 1, 1);
    return p.GetXML();
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

std::string BuildWithPugixml() {
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "utf-8";
    pugi::xml_node root = doc.append_child("Contact");
    const auto& names = ContactFields();
    for (std::size_t i = 0; i < names.size(); ++i) {
        root.append_child(pugi::node_pcdata).set_value("\n\t");
        root.append_child(names[i].c_str()).append_child(pugi::node_pcdata).set_value(FieldText(i).c_str());
    }
    StringWriter writer;
    doc.save(writer, "", pugi::format_raw);
    return writer.out;
}

void BM_BuildContact_Agent(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(BuildWithParser());
}
void BM_BuildContact_Baseline(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(BuildWithPugixml());
}

void BM_ParseContact_Agent(benchmark::State& state) {
    const std::string xml = BuildWithParser();
    std::vector<std::string> paths;
    for (const std::string& n : ContactFields()) paths.push_back("/Contact/" + n);
    for (auto _ : state) {
        CXMLParser p;
        p.Init();
        p.LoadXML(xml);
        std::size_t total = 0;
        for (const std::string& path : paths) total += CXMLParser::GetNodeText(p.SelectNode(path)).size();
        benchmark::DoNotOptimize(total);
    }
}
void BM_ParseContact_Baseline(benchmark::State& state) {
    const std::string xml = BuildWithParser();
    for (auto _ : state) {
        pugi::xml_document doc;
        doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
        const pugi::xml_node root = doc.child("Contact");
        std::size_t total = 0;
        for (const std::string& n : ContactFields())
            total += std::string(root.child(n.c_str()).child_value()).size();
        benchmark::DoNotOptimize(total);
    }
}

std::vector<uint8_t> EntryId(std::size_t n) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    return bytes;
}

void BM_HexEncode_Agent(benchmark::State& state) {
    const auto bytes = EntryId(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(BinaryToHexString(bytes.data(), static_cast<uint32_t>(bytes.size())));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_HexEncode_Baseline(benchmark::State& state) {
    const auto bytes = EntryId(static_cast<std::size_t>(state.range(0)));
    static const char digits[] = "0123456789ABCDEF";
    for (auto _ : state) {
        std::string out(bytes.size() * 2, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            out[2 * i] = digits[bytes[i] >> 4];
            out[2 * i + 1] = digits[bytes[i] & 15];
        }
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_HexDecode_Agent(benchmark::State& state) {
    const auto bytes = EntryId(static_cast<std::size_t>(state.range(0)));
    const std::string text = BinaryToHexString(bytes.data(), static_cast<uint32_t>(bytes.size()));
    for (auto _ : state) benchmark::DoNotOptimize(HexStringToBinary(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_HexDecode_Baseline(benchmark::State& state) {
    const auto bytes = EntryId(static_cast<std::size_t>(state.range(0)));
    const std::string text = BinaryToHexString(bytes.data(), static_cast<uint32_t>(bytes.size()));
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (auto _ : state) {
        std::vector<uint8_t> out(text.size() / 2);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<uint8_t>(nibble(text[2 * i]) * 16 + nibble(text[2 * i + 1]));
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64_Agent(benchmark::State& state) {
    const auto bytes = EntryId(static_cast<std::size_t>(state.range(0)));
    std::vector<uint8_t> out(1 << 16);
    for (auto _ : state) {
        int32_t length = static_cast<int32_t>(out.size());
        benchmark::DoNotOptimize(
            Base64Encode(bytes.data(), static_cast<int32_t>(bytes.size()), out.data(), &length));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_Base64_Baseline(benchmark::State& state) {
    const auto bytes = EntryId(static_cast<std::size_t>(state.range(0)));
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> out(1 << 16);
    for (auto _ : state) {
        std::size_t o = 0, i = 0;
        for (; i + 3 <= bytes.size(); i += 3) {
            const uint32_t g = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
            out[o++] = alphabet[g >> 18];
            out[o++] = alphabet[(g >> 12) & 63];
            out[o++] = alphabet[(g >> 6) & 63];
            out[o++] = alphabet[g & 63];
        }
        benchmark::DoNotOptimize(o);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_DateFormat_Agent(benchmark::State& state) {
    const CDateTime dt(2009, 3, 7, 14, 5, 0);
    for (auto _ : state) benchmark::DoNotOptimize(dt.Format(kDateTimePattern));
}
void BM_DateFormat_Baseline(benchmark::State& state) {
    int y = 2009, mo = 3, d = 7, h = 14, mi = 5, s = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(y);
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%04d/%02d/%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
        benchmark::DoNotOptimize(std::string(buffer));
    }
}

void BM_DateParse_Agent(benchmark::State& state) {
    for (auto _ : state) {
        CDateTime dt;
        benchmark::DoNotOptimize(dt.ParseDateTime("2009/03/07 14:05:00"));
        benchmark::DoNotOptimize(dt);
    }
}
void BM_DateParse_Baseline(benchmark::State& state) {
    for (auto _ : state) {
        int y, mo, d, h, mi, s;
        benchmark::DoNotOptimize(
            std::sscanf("2009/03/07 14:05:00", "%d/%d/%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s));
        benchmark::DoNotOptimize(y + mo + d + h + mi + s);
    }
}

// A stored UTC time to the machine's local date value, against the C library's localtime_r.
void BM_UtcToLocal_Agent(benchmark::State& state) {
    setenv("TZ", "America/New_York", 1);
    const SYSTEMTIME utc{2009, 7, 3, 1, 12, 0, 0, 0};
    for (auto _ : state) {
        CDateTime local;
        UtcToLocal(utc, local);
        benchmark::DoNotOptimize(local);
    }
}
void BM_UtcToLocal_Baseline(benchmark::State& state) {
    setenv("TZ", "America/New_York", 1);
    tzset();
    const std::time_t utc = 1246449600;  // 2009-07-01 12:00 UTC
    for (auto _ : state) {
        std::tm tm{};
        localtime_r(&utc, &tm);
        benchmark::DoNotOptimize(tm);
    }
}

BENCHMARK(BM_BuildContact_Agent)->Name("BuildContact47/agent");
BENCHMARK(BM_BuildContact_Baseline)->Name("BuildContact47/baseline");
BENCHMARK(BM_ParseContact_Agent)->Name("ParseContact47/agent");
BENCHMARK(BM_ParseContact_Baseline)->Name("ParseContact47/baseline");
BENCHMARK(BM_HexEncode_Agent)->Name("HexEncode/agent")->Arg(70)->Arg(4096);
BENCHMARK(BM_HexEncode_Baseline)->Name("HexEncode/baseline")->Arg(70)->Arg(4096);
BENCHMARK(BM_HexDecode_Agent)->Name("HexDecode/agent")->Arg(70)->Arg(4096);
BENCHMARK(BM_HexDecode_Baseline)->Name("HexDecode/baseline")->Arg(70)->Arg(4096);
BENCHMARK(BM_Base64_Agent)->Name("Base64/agent")->Arg(510)->Arg(12288);
BENCHMARK(BM_Base64_Baseline)->Name("Base64/baseline")->Arg(510)->Arg(12288);
BENCHMARK(BM_DateFormat_Agent)->Name("DateFormat/agent");
BENCHMARK(BM_DateFormat_Baseline)->Name("DateFormat/baseline");
BENCHMARK(BM_DateParse_Agent)->Name("DateParse/agent");
BENCHMARK(BM_DateParse_Baseline)->Name("DateParse/baseline");
BENCHMARK(BM_UtcToLocal_Agent)->Name("UtcToLocal/agent");
BENCHMARK(BM_UtcToLocal_Baseline)->Name("UtcToLocal/baseline");

}  // namespace

int main(int argc, char** argv) {
    const int status = nx::bench::RunWithRatios(argc, argv);
    return status;
}
