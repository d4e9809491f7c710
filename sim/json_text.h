// Pieces of the JSON files the simulator writes (outcome.json, life.json): each function
// gives JSON text for one value.
#pragma once

#include <optional>
#include <string>
#include <vector>

// A JSON string literal of `text`.
std::string json_string(const std::string& text);
// Seconds with millisecond decimals.
std::string json_seconds(double v);
std::string json_bool(bool v);
// An array of values that are JSON text already.
std::string json_array(const std::vector<std::string>& json_items);
// `format(*v)`, or null.
template <typename T, typename Format>
std::string json_or_null(const std::optional<T>& v, Format format) {
  return v ? format(*v) : std::string("null");
}
