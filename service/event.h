// One thing that happened to one box, as qelflash reports it: a name and flat fields, written
// as one JSON object per line. Scripts read these lines, so names and fields stay as they are.
#pragma once
#include <string>
#include <vector>

namespace qelflash {

class Event {
  public:
    Event() = default;
    explicit Event(std::string name) : name_(std::move(name)) {}

    Event& Add(const std::string& key, const std::string& text);
    Event& Add(const std::string& key, const char* text) { return Add(key, std::string(text)); }
    Event& Add(const std::string& key, long long number);
    Event& Add(const std::string& key, int number) {
        return Add(key, static_cast<long long>(number));
    }
    Event& Add(const std::string& key, long number) {
        return Add(key, static_cast<long long>(number));
    }
    Event& Add(const std::string& key, unsigned number) {
        return Add(key, static_cast<long long>(number));
    }
    // Replaces the text of a field (or adds it).
    Event& Set(const std::string& key, const std::string& text);
    // A number with a fixed count of decimals, such as a percentage.
    Event& AddFixed(const std::string& key, double value, int decimals);

    const std::string& Name() const { return name_; }
    bool Has(const std::string& key) const;
    // The field as text (a number as written), empty when missing.
    std::string Text(const std::string& key) const;
    long long Number(const std::string& key, long long fallback = 0) const;
    double Real(const std::string& key, double fallback = 0) const;

    // {"event":"NAME","key":value,...}; bytes outside printable ASCII are escaped, so the line
    // is valid JSON whatever a box or an image file holds.
    std::string Json() const;
    // Reads a line written by Json(); false for anything else.
    static bool FromJson(const std::string& line, Event& event);

  private:
    struct Field {
        std::string key;
        std::string value;  // the decoded text of a string, or a number as written
        bool isString;
    };
    const Field* Find(const std::string& key) const;

    std::string name_;
    std::vector<Field> fields_;
};

}  // namespace qelflash
