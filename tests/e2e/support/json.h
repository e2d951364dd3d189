// A small JSON reader for the tests: enough to check what notesctl dump
// writes. Throws std::runtime_error on text that is not JSON.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

class Json {
  public:
    enum Kind { Null, Bool, Number, String, Array, Object };

    static Json Parse(const std::string &text);

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Null; }
    bool boolean() const;
    double number() const;
    const std::string &string() const;
    const std::vector<Json> &array() const;
    // Members in the order they were written.
    const std::vector<std::pair<std::string, Json>> &members() const;
    bool has(const std::string &key) const;
    // The member; throws when there is none.
    const Json &operator[](const std::string &key) const;
    const Json &operator[](size_t index) const;
    size_t size() const;

  private:
    Kind kind_ = Null;
    bool bool_ = false;
    double number_ = 0;
    std::string string_;
    std::vector<Json> array_;
    std::vector<std::pair<std::string, Json>> members_;

    friend class JsonParser;
};

}  // namespace e2e
