// The schema of kelvor --json's objects: the hand-kept base (every object kind,
// the members of a command's object) with the values of each command made from
// the commands' descriptions, so that a value the library names cannot be
// missing from the schema or typed otherwise there.
#include "Schema.h"

#include <string>
#include <vector>

#include "Json.h"
#include "SchemaBase.h"
#include "protocol/Packet.h"

using namespace kelvor;

namespace {

using Object = json_output::Object;
using packet::ValueField;
using packet::ValueSet;
using packet::ValueType;

// The local time of the log and the clock, as the library writes it.
constexpr const char* TIME_PATTERN = "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}$";

Object uint_schema() {
    return {{"type", "integer"}, {"minimum", 0}};
}

Object object_schema(std::span<const ValueField> fields);

Object field_schema(const ValueField& field) {
    switch (field.type) {
    case ValueType::Unsigned: return uint_schema();
    case ValueType::Signed: return {{"type", "integer"}};
    case ValueType::Text:
    case ValueType::Name: return {{"type", "string"}};
    case ValueType::Hex: return {{"type", "string"}, {"pattern", "^([0-9a-f]{2})*$"}};
    case ValueType::Time: {
        Object time = Object::object();
        time["oneOf"] =
            Object::array({Object{{"type", "string"}, {"pattern", TIME_PATTERN}}, Object{{"type", "null"}}});
        return time;
    }
    case ValueType::Boolean: return {{"type", "boolean"}};
    case ValueType::UnsignedList: return {{"type", "array"}, {"items", uint_schema()}};
    case ValueType::NameList: return {{"type", "array"}, {"items", Object{{"type", "string"}}}};
    case ValueType::Records: return {{"type", "array"}, {"items", object_schema(field.fields)}};
    case ValueType::Object: return object_schema(field.fields);
    }
    return Object::object();
}

Object object_schema(std::span<const ValueField> fields) {
    Object properties = Object::object();
    for (const ValueField& f : fields) properties[f.name] = field_schema(f);
    Object o = Object::object();
    o["type"] = "object";
    o["properties"] = std::move(properties);
    o["additionalProperties"] = false;
    return o;
}

// The sets of values in the order the command list first uses them, each with
// its commands.
struct SetUse {
    const ValueSet* set;
    std::vector<const char*> keywords;
};

std::vector<SetUse> set_uses() {
    std::vector<SetUse> uses;
    for (const packet::Command& c : packet::COMMANDS) {
        SetUse* use = nullptr;
        for (SetUse& u : uses)
            if (u.set == c.values) use = &u;
        if (!use) use = &uses.emplace_back(SetUse{c.values, {}});
        use->keywords.push_back(c.keyword);
    }
    return uses;
}

std::string keyword_list(const std::vector<const char*>& keywords) {
    std::string s;
    for (const char* k : keywords) {
        if (!s.empty()) s += ", ";
        s += k;
    }
    return s;
}

Object values_rule(const std::vector<const char*>& keywords, const std::string& definition, bool others) {
    Object names = Object::array();
    for (const char* k : keywords) names.push_back(k);
    Object command = Object::object();
    if (others)
        command["not"] = Object{{"enum", std::move(names)}};
    else
        command["enum"] = std::move(names);
    Object condition = Object::object();
    condition["properties"] = Object{{"command", std::move(command)}};
    if (!others) condition["required"] = Object::array({"command"});
    Object rule = Object::object();
    rule["if"] = std::move(condition);
    rule["then"] = Object{{"properties", Object{{"values", Object{{"$ref", "#/$defs/" + definition}}}}}};
    return rule;
}

Object compose() {
    Object base = Object::parse(KELVOR_RESULT_SCHEMA_BASE);
    Object& defs = base["$defs"];
    // The values' definitions go after the shared ones, before the object kinds.
    Object composed = Object::object();
    Object rules = Object::array();
    std::vector<const char*> described;
    const std::vector<SetUse> uses = set_uses();
    for (const auto& [key, value] : defs.items()) {
        if (key == "command") {
            const SetUse* rawUse = nullptr;
            for (const SetUse& use : uses) {
                if (use.set == &packet::values::RAW) {
                    rawUse = &use; // its rule takes every other code, last
                    continue;
                }
                std::string name = use.set ? std::string("values_") + use.set->name : "values_none";
                Object definition =
                    use.set ? object_schema(use.set->fields) : object_schema(std::span<const ValueField>());
                definition["description"] =
                    keyword_list(use.keywords) + ": " + (use.set ? use.set->description : "no values");
                composed[name] = std::move(definition);
                rules.push_back(values_rule(use.keywords, name, false));
                described.insert(described.end(), use.keywords.begin(), use.keywords.end());
            }
            Object raw = object_schema(packet::values::RAW.fields);
            raw["description"] = std::string(rawUse ? keyword_list(rawUse->keywords) + ", " : "") +
                                 "every code without a keyword: " + packet::values::RAW.description;
            composed["values_raw"] = std::move(raw);
            rules.push_back(values_rule(described, "values_raw", true));
        }
        composed[key] = value;
    }
    composed["command"]["allOf"] = std::move(rules);
    base["$defs"] = std::move(composed);
    return base;
}

} // namespace

const std::string& result_schema() {
    static const std::string text = compose().dump(2, ' ', false) + "\n";
    return text;
}
