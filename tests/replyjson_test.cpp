// The JSON form of replies (tevctl --json): values named from the command
// table, numbers where the table's form is one, unnamed lines in "more",
// and string escaping that always gives valid JSON.
#include "tools/replyjson.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Json(const char* command, const char* code, const std::vector<std::string>& lines) {
    TStrList values;
    for (const std::string& v : lines) values.Add(String(v.data(), int(v.size())));
    return ReplyJsonObject("web1", String(command), String(code), values);
}

// The "values" member of the object, for the cases below.
std::string Values(const char* command, const char* code, const std::vector<std::string>& lines) {
    const std::string all = Json(command, code, lines);
    const size_t at = all.find(",\"values\":");
    return at == std::string::npos ? all : all.substr(at + 10, all.size() - at - 11);
}

TEST(ReplyJson, WholeObject) {
    EXPECT_EQ(Json("TEST-CountFiles", "200", {"42"}),
              R"({"host":"web1","request":"TEST-CountFiles","code":"200","values":{"count":42}})");
    EXPECT_EQ(NoReplyJsonObject("db\"2", String("GetInfo"), "connection refused"),
              R"({"host":"db\"2","request":"GetInfo","error":"connection refused"})");
}

TEST(ReplyJson, ValuesByTheTable) {
    struct Case {
        const char* command;
        const char* code;
        std::vector<std::string> lines;
        const char* values;
    } cases[] = {
        // 64-bit numbers come padded with blanks.
        {"TEST-UNC",
         "200",
         {"499963174912", "    5000", "     0"},
         R"({"total_bytes":499963174912,"free_bytes":5000,"available_bytes":0})"},
        // Lines past the table's values, in order.
        {"TEST-CountFiles", "200", {"3", "x", "y"}, R"({"count":3,"more":["x","y"]})"},
        // A number form whose text is no number stays a string.
        {"TEST-CountFiles", "200", {"12abc"}, R"({"count":"12abc"})"},
        {"TEST-CountFiles", "200", {"007"}, R"({"count":"007"})"},
        {"TEST-CountFiles", "200", {""}, R"({"count":""})"},
        {"TEST-CPU", "200", {" 12.5000"}, R"({"usage_in_percent":12.5000})"},
        {"TEST-CPU", "200", {"-0.5000"}, R"({"usage_in_percent":-0.5000})"},
        {"TEST-CPU", "200", {"1."}, R"({"usage_in_percent":"1."})"},
        // Times and texts are strings (a time's leading zero matters), texts
        // decoded from the multi-line form.
        {"TEST-FileExists",
         "200",
         {"10", "01122026120000", "01122026120000", "/var/log/a b", "min", "5"},
         R"({"size_in_bytes":10,"status_change_time":"01122026120000",)"
         R"("modification_time":"01122026120000","file_name_examined":"/var/log/a b",)"
         R"("unit":"min","age_in_minutes":5})"},
        {"TEST-TCP",
         "200",
         {"3", "HTTP/1.0 200%0D%0A"},
         R"({"duration_in_milliseconds":3,"answer":"HTTP/1.0 200\r\n"})"},
        // name=value lines: their own names, strings; a line without '=' and a
        // name seen before go to "more".
        {"GetInfo",
         "200",
         {"AgentName=Zo", "Port=1055", "Comment=a=b", "odd", "Port=1", "Empty="},
         R"({"AgentName":"Zo","Port":"1055","Comment":"a=b","Empty":"","more":["odd","Port=1"]})"},
        // From a rest line on, everything is "more".
        {"GetFilesList",
         "200",
         {"/tmp", "2", "2", "a", "16", "b", "0"},
         R"({"folder_listed":"/tmp","number_of_entries":2,"number_of_lines_per_entry":2,)"
         R"("more":["a","16","b","0"]})"},
        // Not "200", or a request the table does not know: nothing is named.
        {"TEST-UNC", "301", {"No such file"}, R"({"more":["No such file"]})"},
        {"TEST-Nothing", "500", {"Unknown command"}, R"({"more":["Unknown command"]})"},
        {"TEST-Nothing", "200", {"1", "2"}, R"({"more":["1","2"]})"},
        {"TEST-UNC", "200", {}, R"({})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.values);
        EXPECT_EQ(Values(c.command, c.code, c.lines), c.values);
    }
}

TEST(ReplyJson, StringsAreEscapedToValidJson) {
    struct Case {
        std::string text;
        const char* json;
    } cases[] = {
        {"a", R"("a")"},
        {"", R"("")"},
        {"q\"b\\s\tt", R"("q\"b\\s\tt")"},
        {"x\r\ny", R"("x\r\ny")"},
        {std::string("\x01") + "\xc3\xa9" + "\x7f", R"("\u0001é\u007f")"},
        {"\xff\xc3", R"("\u00ff\u00c3")"},            // not UTF-8: Latin-1 reading
        {"\xed\xa0\x80", R"("\u00ed\u00a0\u0080")"},  // a surrogate is no character
        {"\xc0\xaf", R"("\u00c0\u00af")"},            // overlong
        {std::string("nul\0x", 5), R"("nul\u0000x")"},
        {"\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},  // four bytes, kept
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(JsonString(c.text), c.json);
    }
    // Values are decoded from the multi-line form first.
    EXPECT_EQ(Values("TEST-Nothing", "200", {"x%0D%0Ay"}), R"({"more":["x\r\ny"]})");
}

}  // namespace
