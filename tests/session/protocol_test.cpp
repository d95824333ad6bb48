#include "session/protocol.hpp"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <limits>

namespace nimbrel::protocol {
namespace {

namespace json = boost::json;

std::optional<Command> parse(const char* text) { return parseCommand(json::parse(text).as_object()); }

TEST(Protocol, CommandsAreReadWithTheirDefaults) {
  const struct {
    const char* message;
    std::optional<Command> command;
  } cases[] = {
      {R"({"t":"ack","id":7})", Ack{7}},
      {R"({"t":"ack","id":"12"})", Ack{12}},
      {R"({"t":"ack","id":-3.9})", Ack{-3}},
      {R"({"t":"ack","id":1e300})", std::nullopt},  // does not fit
      {R"({"t":"ack"})", Ack{0}},
      {R"({"t":"view","x":0.25,"y":"0.5","w":true,"pw":1280,"ph":800})", View{0.25, 0.5, 0, 0, 1280, 800}},
      {R"({"t":"move"})", Move{{0, 0}}},
      {R"({"t":"move","x":"+0.5","y":"0.5x"})", Move{{0.5, 0}}},
      {R"({"t":"btn","b":"back","down":true})", std::nullopt},
      {R"({"t":"btn"})", std::nullopt},
      {R"({"t":"btn","b":"right","down":true,"x":0.1})", Press{MouseButton::right, true, NormalisedPoint{0.1, 0}}},
      {R"({"t":"btn","b":"middle","down":1})", Press{MouseButton::middle, false, std::nullopt}},
      {R"({"t":"click"})", Click{MouseButton::left, 1, std::nullopt}},
      {R"({"t":"click","n":5})", Click{MouseButton::left, 3, std::nullopt}},
      {R"({"t":"click","n":2.0,"b":"right"})", Click{MouseButton::right, 2, std::nullopt}},
      {R"({"t":"click","n":"2"})", Click{MouseButton::left, 1, std::nullopt}},
      {R"({"t":"click","n":-4})", Click{MouseButton::left, 1, std::nullopt}},
      {R"({"t":"click","b":"Left"})", std::nullopt},
      {R"({"t":"scroll","dx":1,"dy":-2.5})", Scroll{1, -2.5}},
      {R"({"t":"text"})", Text{""}},
      {R"({"t":"key","k":"c","mods":["a",1,"b","c","d","e","f"]})", Key{"c", {"a", "b", "c", "d", "e"}, "press"}},
      {R"({"t":"key","a":"down","mods":"shift"})", Key{"", {}, "down"}},
      {R"({"t":"stream"})", StreamOn{true}},
      {R"({"t":"stream","on":false})", StreamOn{false}},
      {R"({"t":"quality","q":5})", Quality{"auto"}},
      {R"({"t":"refresh","x":1})", Refresh{}},
      {R"({"t":"mon","i":"1"})", SelectMonitor{1}},
      {R"({"t":"mon","i":"two"})", SelectMonitor{0}},  // an unreadable text reads as 0
      {R"({"t":"mon","i":"nan"})", std::nullopt},      // not finite: nothing
      {R"({"t":"caretwatch","on":true})", CaretWatch{true}},
      {R"({"t":"getclip"})", GetClip{}},
      {R"({"t":"setclip","text":"copied"})", SetClip{"copied"}},
      {R"({"t":"ping","ts":12.5})", Ping{12.5}},
      {R"({"t":"ping"})", Ping{nullptr}},
      {R"({"t":"ping","ts":{"a":[1]}})", Ping{json::parse(R"({"a":[1]})")}},
      {R"({"t":"no such command"})", std::nullopt},
      {R"({"x":1})", std::nullopt},
      {R"({"t":7})", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.message), c.command) << c.message;
}

TEST(Protocol, TextsAreCutByCharacters) {
  std::string flags;
  for (int i = 0; i < 25000; ++i) flags += "\U0001F1E9\U0001F1EA";
  const auto command = parseCommand({{"t", "text"}, {"s", flags}});
  ASSERT_TRUE(command);
  EXPECT_EQ(std::get<Text>(*command).text, flags.substr(0, 20000 * 8));

  std::string clip;
  for (int i = 0; i < 150000; ++i) clip += "e\u0301";
  EXPECT_EQ(clipMessage(clip).at("text").as_string(), clip.substr(0, 100000 * 3));

  std::string name(70, 'n');
  EXPECT_EQ(clientName({{"name", name}}), name.substr(0, 64));
  EXPECT_EQ(clientName({{"name", 5}}), "phone");
}

TEST(Protocol, EveryCommandReadsBackAsItself) {
  const std::vector<Command> commands = {
      Ack{41},
      View{0.125, 0.25, 0.5, 0.5, 1280, 800},
      Move{{0.3, 0.7}},
      Press{MouseButton::middle, true, NormalisedPoint{0.5, 0.5}},
      Press{MouseButton::left, false, std::nullopt},
      Click{MouseButton::right, 2, NormalisedPoint{0.1, 0.9}},
      Scroll{-40, 120.5},
      Text{"héllo \U0001F44D\U0001F3FD\n"},
      Key{"PgUp", {"meta", "shift"}, "down"},
      StreamOn{false},
      Quality{"sharp"},
      Refresh{},
      SelectMonitor{2},
      CaretWatch{true},
      GetClip{},
      SetClip{"a\"quoted\" text"},
      Ping{1733840000.25},
  };
  for (const Command& command : commands) {
    const json::object message = commandMessage(command);
    EXPECT_EQ(parseCommand(message), command) << json::serialize(message);
    const json::value wire = json::parse(serializeMessage(message));
    EXPECT_EQ(parseCommand(wire.as_object()), command) << serializeMessage(message);
  }
}

TEST(Protocol, NumbersGoOutAsPeopleWriteThem) {
  const struct {
    json::value value;
    std::string text;
  } cases[] = {
      {json::object{{"fps", 30.0}, {"sc", 1.0}}, R"({"fps":30,"sc":1})"},
      {json::object{{"q", 0.125}, {"rtt", -2.5}}, R"({"q":0.125,"rtt":-2.5})"},
      {json::array{1e-7, 123456789.5, 1e21}, "[0.0000001,123456789.5,1000000000000000000000]"},
      {json::array{0.1, 1.0 / 3}, "[0.1,0.3333333333333333]"},
      {json::array{-0.0, std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::infinity()},
       "[0,null,null]"},
      {json::array{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::uint64_t>::max()},
       "[-9223372036854775808,18446744073709551615]"},
      {json::object{{"s", "a\"b\\c\n\u00e9"}, {"n", nullptr}, {"b", false}, {"e", json::array{}}},
       R"({"s":"a\"b\\c\n)" "\u00e9" R"(","n":null,"b":false,"e":[]})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(serializeMessage(c.value), c.text);
    EXPECT_NO_THROW(json::parse(serializeMessage(c.value))) << c.text;
  }
}

TEST(Protocol, PointerAndCaretAreRelativeToTheMonitorInFivePlaces) {
  const Rect second{1920, 0, 1280, 1024};
  EXPECT_EQ(serializeMessage(cursorMessage({2560, 512}, second)), R"({"t":"cursor","x":0.5,"y":0.5,"vis":true})");
  EXPECT_EQ(serializeMessage(cursorMessage({1920, 0}, second)), R"({"t":"cursor","x":0,"y":0,"vis":true})");
  // Max edges are outside; another display gives coordinates outside 0 to 1.
  EXPECT_EQ(serializeMessage(cursorMessage({3200, 0}, second)), R"({"t":"cursor","x":1,"y":0,"vis":false})");
  EXPECT_EQ(serializeMessage(cursorMessage({100, 2048}, second)), R"({"t":"cursor","x":-1.42188,"y":2,"vis":false})");
  EXPECT_EQ(serializeMessage(cursorMessage({1920 + 1280.0 / 3, 1}, second)),
            R"({"t":"cursor","x":0.33333,"y":0.00098,"vis":true})");
  EXPECT_EQ(serializeMessage(caretMessage(std::nullopt, second)), R"({"t":"caret","none":true})");
  EXPECT_EQ(serializeMessage(caretMessage(Rect{2240, 256, 2, 16}, second)),
            R"({"t":"caret","x":0.25,"y":0.25,"w":0.00156,"h":0.01563})");
}

}  // namespace
}  // namespace nimbrel::protocol
