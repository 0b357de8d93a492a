#include "tools/mapiadmin/ItemJson.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <set>

#include "platform/system/Utf.h"
#include "tools/mapiadmin/FileIo.h"
#include "tools/mapiadmin/PropNames.h"

namespace nx::mapiadmin {
namespace {

using json = nlohmann::json;
using ojson = nlohmann::ordered_json;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw InputError(where + ": " + what);
}

std::string Quote(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

// The JSON type of a value, for messages.
std::string Kind(const json& v) {
    switch (v.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "a boolean";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
            return "an integer";
        case json::value_t::number_float:
            return "a number with a fraction";
        case json::value_t::string:
            return "a string";
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "an object";
        default:
            return "a value";
    }
}

std::optional<std::uint64_t> ParseHexNumber(std::string_view s) {
    if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return std::nullopt;
    s.remove_prefix(2);
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// An integer of `bits` width: a JSON integer in [-2^(bits-1), 2^bits - 1] (values above the signed
// range wrap, so flags may be written unsigned) or a "0x..." string. Sign-extended result.
std::int64_t ReadInteger(const json& v, int bits, const std::string& where) {
    const std::string type = bits == 16 ? "PT_I2" : bits == 32 ? "PT_LONG" : "a 64-bit integer";
    std::uint64_t raw = 0;
    if (v.is_number_unsigned()) {
        raw = v.get<std::uint64_t>();
        if (bits < 64 && raw >= (std::uint64_t{1} << bits))
            Fail(where, std::to_string(raw) + " is out of range for " + type);
    } else if (v.is_number_integer()) {
        const auto s = v.get<std::int64_t>();
        if (bits < 64 && s < -(std::int64_t{1} << (bits - 1)))
            Fail(where, std::to_string(s) + " is out of range for " + type);
        raw = static_cast<std::uint64_t>(s);
    } else if (v.is_string()) {
        const auto h = ParseHexNumber(v.get_ref<const std::string&>());
        if (!h) Fail(where, "expected an integer or \"0x...\" hex text for " + type);
        if (bits < 64 && *h >= (std::uint64_t{1} << bits))
            Fail(where, v.get<std::string>() + " is out of range for " + type);
        raw = *h;
    } else {
        Fail(where, "expected an integer for " + type + ", got " + Kind(v));
    }
    if (bits == 16) return static_cast<std::int16_t>(static_cast<std::uint16_t>(raw));
    if (bits == 32) return static_cast<std::int32_t>(static_cast<std::uint32_t>(raw));
    return static_cast<std::int64_t>(raw);
}

double ReadFloat(const json& v, bool single, const std::string& where) {
    double d = 0;
    if (v.is_number()) {
        d = v.get<double>();
    } else if (v.is_string()) {
        const auto& s = v.get_ref<const std::string&>();
        if (s == "NaN")
            d = std::numeric_limits<double>::quiet_NaN();
        else if (s == "Infinity")
            d = std::numeric_limits<double>::infinity();
        else if (s == "-Infinity")
            d = -std::numeric_limits<double>::infinity();
        else
            Fail(where, "expected a number, \"NaN\", \"Infinity\" or \"-Infinity\", got " + Quote(s));
    } else {
        Fail(where, "expected a number, got " + Kind(v));
    }
    if (single) {
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
            Fail(where, "value is out of range for PT_R4");
        d = static_cast<double>(static_cast<float>(d));
    }
    return d;
}

const std::string& ReadString(const json& v, const std::string& where, const char* what) {
    if (!v.is_string()) Fail(where, std::string("expected ") + what + ", got " + Kind(v));
    return v.get_ref<const std::string&>();
}

std::string ReadHex(const json& v, const std::string& where) {
    const auto bytes = FromHex(ReadString(v, where, "hex text"));
    if (!bytes) Fail(where, "not hex text (an even number of hex digits)");
    return *bytes;
}

Scalar ReadScalar(const json& v, PropType base, const std::string& where) {
    switch (base) {
        case kPtI2:
            return ReadInteger(v, 16, where);
        case kPtLong:
            return ReadInteger(v, 32, where);
        case kPtI8:
        case kPtCurrency:
            return ReadInteger(v, 64, where);
        case kPtBoolean:
            if (v.is_boolean()) return std::int64_t{v.get<bool>() ? 1 : 0};
            if (v.is_number_unsigned() && v.get<std::uint64_t>() <= 0xFFFF) return v.get<std::int64_t>();
            Fail(where, "expected true or false, got " + Kind(v));
        case kPtR4:
            return ReadFloat(v, true, where);
        case kPtDouble:
        case kPtAppTime:
            return ReadFloat(v, false, where);
        case kPtSysTime:
            if (v.is_number_unsigned()) return static_cast<std::int64_t>(v.get<std::uint64_t>());
            if (v.is_string()) {
                const auto t = ParseIsoUtc(v.get_ref<const std::string&>());
                if (!t)
                    Fail(where,
                         Quote(v.get<std::string>()) + " is not a UTC time such as \"2024-05-01T12:30:00Z\"");
                return static_cast<std::int64_t>(*t);
            }
            Fail(where, "expected ISO-8601 UTC text or a FILETIME number, got " + Kind(v));
        case kPtString8:
            // Bytes that are not text: {"hex": "..."} (inside an array; a single value may also
            // use the entry's own "hex" key).
            if (v.is_object() && v.size() == 1 && v.contains("hex")) return ReadHex(v["hex"], where + ".hex");
            return sys::Utf16ToUtf8(JsonToUtf16(ReadString(v, where, "a string")));
        case kPtUnicode:
            return JsonToUtf16(ReadString(v, where, "a string"));
        case kPtClsid: {
            const auto g = ParseGuid(ReadString(v, where, "GUID text"));
            if (!g) Fail(where, "not GUID text such as \"{00062004-0000-0000-C000-000000000046}\"");
            return *g;
        }
        case kPtBinary:
            return ReadHex(v, where);
        default:
            Fail(where, "type " + TypeName(base) + " has no value form");
    }
}

PropType ReadType(const json& v, const std::string& where) {
    const auto t = TypeFromName(ReadString(v, where, "a type name such as \"PT_UNICODE\""));
    if (!t) Fail(where, "unknown property type " + Quote(v.get<std::string>()));
    return *t;
}

std::uint32_t ReadTag(const json& v, const std::string& where) {
    if (v.is_number_unsigned() && v.get<std::uint64_t>() <= 0xFFFFFFFF) return v.get<std::uint32_t>();
    if (v.is_string()) {
        const auto& s = v.get_ref<const std::string&>();
        if (auto t = TagFromName(s)) return *t;
        if (auto h = ParseHexNumber(s); h && *h <= 0xFFFFFFFF) return static_cast<std::uint32_t>(*h);
        Fail(where, "unknown property " + Quote(s) + " (use a PR_ name or the tag as \"0x0037001F\")");
    }
    Fail(where, "expected a property name or tag, got " + Kind(v));
}

bool HasMvForm(PropType base) {
    return base != kPtBoolean && IsValueType(base);
}

void CheckKeys(const json& obj, std::initializer_list<const char*> allowed, const std::string& where) {
    for (const auto& [key, value] : obj.items()) {
        bool ok = false;
        for (const char* a : allowed) ok = ok || key == a;
        if (!ok) Fail(where, "unknown key " + Quote(key));
    }
}

Prop ReadEntry(const json& e, const std::string& where) {
    if (!e.is_object()) Fail(where, "expected an object, got " + Kind(e));
    CheckKeys(e, {"tag", "named", "set", "id", "name", "type", "value", "hex", "file", "delete"}, where);
    const int identities = static_cast<int>(e.contains("tag")) + e.contains("named") + e.contains("set");
    if (identities != 1) Fail(where, "needs exactly one of \"tag\", \"named\" or \"set\"");

    Prop p;
    std::optional<PropType> type;
    if (e.contains("type")) type = ReadType(e["type"], where + ".type");
    if (!e.contains("set") && (e.contains("id") || e.contains("name")))
        Fail(where, "\"id\" and \"name\" belong with \"set\"");

    if (e.contains("tag")) {
        std::uint32_t tag = ReadTag(e["tag"], where + ".tag");
        if (PropIdOf(tag) >= 0x8000)
            Fail(where + ".tag",
                 "ids from 0x8000 are named properties, which stores number themselves; "
                 "give \"set\" with \"id\" or \"name\" instead");
        if (type) {
            if (PropTypeOf(tag) != kPtUnspecified && PropTypeOf(tag) != *type)
                Fail(where, "\"type\" " + TypeName(*type) + " contradicts the tag's type " +
                                TypeName(PropTypeOf(tag)));
            tag = MakeTag(PropIdOf(tag), *type);
        }
        p.tag = tag;
    } else if (e.contains("named")) {
        const auto alias = NamedFromAlias(ReadString(e["named"], where + ".named", "a named-property name"));
        if (!alias) Fail(where + ".named", "unknown named property " + Quote(e["named"].get<std::string>()));
        if (type && *type != alias->type)
            Fail(where, "\"type\" " + TypeName(*type) + " contradicts " + e["named"].get<std::string>() +
                            ", which is " + TypeName(alias->type));
        p.named = alias->name;
        p.tag = MakeTag(0, alias->type);
    } else {
        NamedId n;
        const auto set = SetFromName(ReadString(e["set"], where + ".set", "a property set name or GUID"));
        if (!set) Fail(where + ".set", "unknown property set " + Quote(e["set"].get<std::string>()));
        n.set = *set;
        if (e.contains("id") == e.contains("name"))
            Fail(where, "needs exactly one of \"id\" or \"name\" with \"set\"");
        if (e.contains("id")) {
            const json& id = e["id"];
            std::optional<std::uint64_t> v;
            if (id.is_number_unsigned())
                v = id.get<std::uint64_t>();
            else if (id.is_string())
                v = ParseHexNumber(id.get_ref<const std::string&>());
            if (!v || *v > 0xFFFFFFFF) Fail(where + ".id", "expected a 32-bit number or \"0x...\" hex text");
            n.id = static_cast<std::uint32_t>(*v);
        } else {
            n.isString = true;
            n.name = JsonToUtf16(ReadString(e["name"], where + ".name", "a string"));
            if (n.name.empty()) Fail(where + ".name", "the name is empty");
        }
        if (!type) Fail(where, "a named property needs a \"type\"");
        p.named = n;
        p.tag = MakeTag(0, *type);
    }

    const PropType t = p.Type();
    const PropType base = BaseType(t);
    if (t == kPtUnspecified) Fail(where, "the property needs a \"type\"");
    if (!IsValueType(base) || (IsMultiValued(t) && !HasMvForm(base)))
        Fail(where, "type " + TypeName(t) + " cannot be stored as a property value");

    const int values =
        static_cast<int>(e.contains("value")) + e.contains("hex") + e.contains("file") + e.contains("delete");
    if (values != 1) Fail(where, "needs exactly one of \"value\", \"hex\", \"file\" or \"delete\"");
    if (e.contains("delete")) {
        if (!e["delete"].is_boolean() || !e["delete"].get<bool>()) Fail(where + ".delete", "expected true");
        p.remove = true;
    } else if (e.contains("value")) {
        const json& v = e["value"];
        if (IsMultiValued(t)) {
            if (!v.is_array())
                Fail(where + ".value", "expected an array for " + TypeName(t) + ", got " + Kind(v));
            for (std::size_t i = 0; i < v.size(); ++i)
                p.values.push_back(ReadScalar(v[i], base, where + ".value[" + std::to_string(i) + "]"));
        } else {
            p.values.push_back(ReadScalar(v, base, where + ".value"));
        }
    } else if (e.contains("hex")) {
        if (t != kPtBinary && t != kPtString8) Fail(where, "\"hex\" is for PT_BINARY and PT_STRING8 values");
        p.values.push_back(ReadHex(e["hex"], where + ".hex"));
    } else {
        if (t != kPtBinary && t != kPtString8 && t != kPtUnicode)
            Fail(where, "\"file\" is for PT_BINARY, PT_STRING8 and PT_UNICODE values");
        const auto& f = ReadString(e["file"], where + ".file", "a file path");
        if (f.empty()) Fail(where + ".file", "the path is empty");
        p.file = f;
    }
    return p;
}

std::vector<Prop> ReadEntries(const json& obj, const char* key, const std::string& where, bool settable) {
    std::vector<Prop> out;
    if (!obj.contains(key)) return out;
    const json& arr = obj[key];
    const std::string at = where.empty() ? key : where + "." + key;
    if (!arr.is_array()) Fail(at, "expected an array, got " + Kind(arr));
    for (std::size_t i = 0; i < arr.size(); ++i) {
        const std::string w = at + "[" + std::to_string(i) + "]";
        Prop p = ReadEntry(arr[i], w);
        if (settable && !p.named && IsReadOnlyTag(p.tag))
            Fail(w, DescribeProp(p) +
                        " is set by the store itself; it belongs under \"computed\" (ignored on put)");
        out.push_back(std::move(p));
    }
    return out;
}

// Bytes that are UTF-8 without unpaired surrogates can be written as a JSON string.
bool IsJsonText(std::string_view bytes) {
    const std::u16string u = sys::Utf8ToUtf16(bytes);
    if (sys::Utf16ToUtf8(u) != bytes) return false;
    for (std::size_t i = 0; i < u.size(); ++i) {
        if (u[i] >= 0xD800 && u[i] <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 &&
            u[i + 1] <= 0xDFFF) {
            ++i;
        } else if (u[i] >= 0xD800 && u[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

ojson WriteScalar(const Scalar& s, PropType base) {
    switch (base) {
        case kPtI2:
        case kPtLong:
        case kPtI8:
        case kPtCurrency:
            return std::get<std::int64_t>(s);
        case kPtBoolean: {
            const auto b = std::get<std::int64_t>(s);
            return b == 0 ? ojson(false) : b == 1 ? ojson(true) : ojson(b);
        }
        case kPtR4:
        case kPtDouble:
        case kPtAppTime: {
            const double d = std::get<double>(s);
            if (std::isnan(d)) return "NaN";
            if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
            return d;
        }
        case kPtSysTime: {
            const auto ticks = static_cast<std::uint64_t>(std::get<std::int64_t>(s));
            if (auto iso = FormatIsoUtc(ticks)) return *iso;
            return ticks;
        }
        case kPtString8: {
            const auto& bytes = std::get<std::string>(s);
            if (!IsJsonText(bytes)) return ojson{{"hex", ToHex(bytes)}};
            return Utf16ToJson(sys::Utf8ToUtf16(bytes));
        }
        case kPtUnicode:
            return Utf16ToJson(std::get<std::u16string>(s));
        case kPtClsid:
            return FormatGuid(std::get<Guid>(s));
        case kPtBinary:
            return ToHex(std::get<std::string>(s));
        default:
            return nullptr;
    }
}

std::string HexNumber(std::uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

ojson WriteEntry(const Prop& p, const DumpOptions& options, int attachment) {
    ojson e = ojson::object();
    const PropType t = p.Type();
    if (p.named) {
        if (auto alias = AliasFromNamed(*p.named, t)) {
            e["named"] = *alias;
        } else {
            e["set"] = SetName(p.named->set);
            if (p.named->isString)
                e["name"] = Utf16ToJson(p.named->name);
            else
                e["id"] = HexNumber(p.named->id, 4);
            e["type"] = TypeName(t);
        }
    } else if (auto name = NameFromTag(p.tag)) {
        e["tag"] = *name;
    } else {
        e["tag"] = HexNumber(p.tag, 8);
        e["type"] = TypeName(t);
    }
    const PropType base = BaseType(t);
    if (p.remove) {
        e["delete"] = true;
    } else if (IsMultiValued(t)) {
        ojson arr = ojson::array();
        for (const auto& s : p.values) arr.push_back(WriteScalar(s, base));
        e["value"] = std::move(arr);
    } else if (p.values.size() == 1) {
        const Scalar& s = p.values[0];
        if (t == kPtBinary && options.externalize) {
            if (auto f = options.externalize(p, attachment, std::get<std::string>(s))) {
                e["file"] = *f;
                return e;
            }
        }
        if (t == kPtString8 && !IsJsonText(std::get<std::string>(s)))
            e["hex"] = ToHex(std::get<std::string>(s));
        else
            e["value"] = WriteScalar(s, base);
    }
    return e;
}

ojson WriteEntries(const std::vector<Prop>& props, const DumpOptions& options, int attachment) {
    ojson arr = ojson::array();
    for (const auto& p : props) {
        const PropType t = p.Type();
        if (!IsValueType(BaseType(t)) || (!p.remove && !IsMultiValued(t) && p.values.size() != 1)) continue;
        arr.push_back(WriteEntry(p, options, attachment));
    }
    return arr;
}

}  // namespace

namespace {

// One item; prefix locates it in messages ("" for a lone item, "[3]" in an array).
Item ItemFromDoc(const json& doc, const std::string& prefix) {
    if (!doc.is_object())
        throw InputError((prefix.empty() ? "the item" : prefix) + " must be a JSON object, got " + Kind(doc));
    CheckKeys(doc, {"properties", "computed", "attachments"}, prefix.empty() ? "item" : prefix);
    Item item;
    item.props = ReadEntries(doc, "properties", prefix, true);
    item.computed = ReadEntries(doc, "computed", prefix, false);
    if (doc.contains("attachments")) {
        const json& arr = doc["attachments"];
        const std::string at = prefix.empty() ? "attachments" : prefix + ".attachments";
        if (!arr.is_array()) Fail(at, "expected an array, got " + Kind(arr));
        for (std::size_t i = 0; i < arr.size(); ++i) {
            const std::string w = at + "[" + std::to_string(i) + "]";
            if (!arr[i].is_object()) Fail(w, "expected an object, got " + Kind(arr[i]));
            CheckKeys(arr[i], {"properties", "computed", "embeddedMessage"}, w);
            Attachment a;
            a.props = ReadEntries(arr[i], "properties", w, true);
            a.computed = ReadEntries(arr[i], "computed", w, false);
            if (arr[i].contains("embeddedMessage")) {
                const json& m = arr[i]["embeddedMessage"];
                const std::string mw = w + ".embeddedMessage";
                if (!m.is_object()) Fail(mw, "expected an object, got " + Kind(m));
                CheckKeys(m, {"properties", "computed"}, mw);
                a.embedded.emplace();
                a.embedded->props = ReadEntries(m, "properties", mw, true);
                a.embedded->computed = ReadEntries(m, "computed", mw, false);
            }
            item.attachments.push_back(std::move(a));
        }
    }
    return item;
}

}  // namespace

Item ItemFromJson(std::string_view text) {
    return ItemFromDoc(ParseJsonText(text), "");
}

std::vector<Item> ItemsFromJson(std::string_view text, bool* isArray) {
    const json doc = ParseJsonText(text);
    if (isArray) *isArray = doc.is_array();
    if (!doc.is_array()) return {ItemFromDoc(doc, "")};
    std::vector<Item> items;
    items.reserve(doc.size());
    for (std::size_t i = 0; i < doc.size(); ++i)
        items.push_back(ItemFromDoc(doc[i], "[" + std::to_string(i) + "]"));
    return items;
}

void LoadFileValues(Item& item, const std::filesystem::path& baseDir, const std::string& prefix) {
    auto load = [&](std::vector<Prop>& props, const std::string& where) {
        for (std::size_t i = 0; i < props.size(); ++i) {
            Prop& p = props[i];
            if (!p.file) continue;
            std::filesystem::path path = PathFromUtf8(*p.file);
            if (path.is_relative()) path = baseDir / path;
            std::string bytes;
            if (!ReadWholeFile(Utf8FromPath(path), bytes)) {
                throw InputError(where + "[" + std::to_string(i) + "].file: cannot read " +
                                 Quote(Utf8FromPath(path)) + ": " + std::strerror(errno));
            }
            if (p.Type() == kPtUnicode)
                p.values = {sys::Utf8ToUtf16(bytes)};
            else
                p.values = {std::move(bytes)};
            p.file.reset();
        }
    };
    const std::string at = prefix.empty() ? "" : prefix + ".";
    load(item.props, at + "properties");
    for (std::size_t a = 0; a < item.attachments.size(); ++a) {
        const std::string where = at + "attachments[" + std::to_string(a) + "]";
        load(item.attachments[a].props, where + ".properties");
        if (item.attachments[a].embedded)
            load(item.attachments[a].embedded->props, where + ".embeddedMessage.properties");
    }
}

std::string ItemToJson(const Item& item, const DumpOptions& options) {
    ojson doc = ojson::object();
    doc["properties"] = WriteEntries(item.props, options, -1);
    if (!item.computed.empty()) doc["computed"] = WriteEntries(item.computed, {}, -1);
    if (!item.attachments.empty()) {
        ojson arr = ojson::array();
        for (std::size_t i = 0; i < item.attachments.size(); ++i) {
            ojson a = ojson::object();
            a["properties"] = WriteEntries(item.attachments[i].props, options, static_cast<int>(i));
            if (!item.attachments[i].computed.empty())
                a["computed"] = WriteEntries(item.attachments[i].computed, {}, -1);
            if (const auto& embedded = item.attachments[i].embedded) {
                ojson m = ojson::object();
                m["properties"] = WriteEntries(embedded->props, options, static_cast<int>(i));
                if (!embedded->computed.empty()) m["computed"] = WriteEntries(embedded->computed, {}, -1);
                a["embeddedMessage"] = std::move(m);
            }
            arr.push_back(std::move(a));
        }
        doc["attachments"] = std::move(arr);
    }
    return DumpJsonText(doc);
}

std::string DescribeProp(const Prop& p) {
    if (p.named) {
        if (auto alias = AliasFromNamed(*p.named, p.Type())) return *alias;
        std::string s = SetName(p.named->set) + ":";
        if (p.named->isString) return s + Quote(sys::Utf16ToUtf8(p.named->name));
        return s + HexNumber(p.named->id, 4);
    }
    if (auto name = NameFromTag(p.tag)) return *name;
    return HexNumber(p.tag, 8);
}

}  // namespace nx::mapiadmin
