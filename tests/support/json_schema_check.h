#pragma once
// Checks a JSON document against the part of JSON Schema that docs/quorrelctl.schema.json uses:
// type, enum, properties, required, additionalProperties, items, minimum, maximum, pattern, $ref
// (within the file) and oneOf. Gives the first violation as a path and a reason, or empty.

#include <nlohmann/json.hpp>

#include <fstream>
#include <regex>
#include <string>

namespace vortlink::test {

class json_schema_check {
  public:
    explicit json_schema_check(const std::string &path) {
        std::ifstream in(path);
        root_ = nlohmann::json::parse(in);
    }

    // The violations of definition `name` under $defs, or empty when value fits.
    std::string check(const nlohmann::json &value, const std::string &name) const {
        return check_node(value, root_.at("$defs").at(name), "$");
    }

  private:
    const nlohmann::json &resolve(const nlohmann::json &schema) const {
        if (!schema.is_object() || !schema.contains("$ref"))
            return schema;
        const std::string ref = schema.at("$ref");
        return root_.at(nlohmann::json::json_pointer(ref.substr(1)));
    }

    static bool has_type(const nlohmann::json &value, const std::string &type) {
        if (type == "object")
            return value.is_object();
        if (type == "array")
            return value.is_array();
        if (type == "string")
            return value.is_string();
        if (type == "integer")
            return value.is_number_integer();
        if (type == "number")
            return value.is_number();
        if (type == "boolean")
            return value.is_boolean();
        if (type == "null")
            return value.is_null();
        return false;
    }

    std::string check_node(const nlohmann::json &value, const nlohmann::json &given,
                           const std::string &path) const {
        const nlohmann::json &schema = resolve(given);
        if (schema.contains("oneOf")) {
            int matches = 0;
            std::string reasons;
            for (const auto &option : schema.at("oneOf")) {
                const std::string why = check_node(value, option, path);
                matches += why.empty();
                reasons += " [" + why + "]";
            }
            if (matches != 1)
                return path + ": matches " + std::to_string(matches) + " of oneOf:" + reasons;
        }
        if (schema.contains("type")) {
            const auto &types = schema.at("type");
            bool fits = false;
            if (types.is_array()) {
                for (const auto &type : types)
                    fits = fits || has_type(value, type);
            } else {
                fits = has_type(value, types);
            }
            if (!fits)
                return path + ": " + value.dump() + " is not of type " + types.dump();
        }
        if (schema.contains("enum")) {
            bool listed = false;
            for (const auto &option : schema.at("enum"))
                listed = listed || option == value;
            if (!listed)
                return path + ": " + value.dump() + " is not one of " + schema.at("enum").dump();
        }
        if (value.is_number()) {
            if (schema.contains("minimum") && value.get<double>() < schema.at("minimum").get<double>())
                return path + ": " + value.dump() + " below the minimum";
            if (schema.contains("maximum") && value.get<double>() > schema.at("maximum").get<double>())
                return path + ": " + value.dump() + " above the maximum";
        }
        if (value.is_string() && schema.contains("pattern") &&
            !std::regex_search(value.get<std::string>(),
                               std::regex(schema.at("pattern").get<std::string>())))
            return path + ": " + value.dump() + " does not match " + schema.at("pattern").dump();
        if (value.is_object()) {
            if (schema.contains("required"))
                for (const auto &key : schema.at("required"))
                    if (!value.contains(key.get<std::string>()))
                        return path + ": required key " + key.dump() + " missing";
            for (const auto &[key, item] : value.items()) {
                if (schema.contains("properties") && schema.at("properties").contains(key)) {
                    if (auto why = check_node(item, schema.at("properties").at(key), path + "." + key);
                        !why.empty())
                        return why;
                    continue;
                }
                if (!schema.contains("additionalProperties"))
                    continue;
                const auto &extra = schema.at("additionalProperties");
                if (extra.is_boolean()) {
                    if (!extra.get<bool>())
                        return path + ": key \"" + key + "\" is not in the schema";
                    continue;
                }
                if (auto why = check_node(item, extra, path + "." + key); !why.empty())
                    return why;
            }
        }
        if (value.is_array() && schema.contains("items"))
            for (std::size_t i = 0; i < value.size(); ++i)
                if (auto why = check_node(value[i], schema.at("items"),
                                          path + "[" + std::to_string(i) + "]");
                    !why.empty())
                    return why;
        return {};
    }

    nlohmann::json root_;
};

} // namespace vortlink::test
