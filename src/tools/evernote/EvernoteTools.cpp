#include "tools/evernote/EvernoteTools.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/PercentEncoding.h"
#include "base/Timestamp.h"
#include "core/Params.h"
#include "core/ToolResponse.h"
#include "core/ToolSchema.h"
#include "platform/Endpoints.h"
#include "platform/HttpClient.h"
#include "tools/common/SettingsHandler.h"
#include "tools/evernote/EvernoteEnml.h"
#include "tools/evernote/EvernoteTexts.h"

namespace tvrn::EvernoteTools {
namespace {

using nlohmann::json;
using ToolSchema::property;
using ToolSchema::schema;
namespace Texts = EvernoteTexts;

constexpr std::chrono::seconds kRequestTimeout{20};

ToolError failure(std::string_view text) { return ToolError::executionFailed(std::string(text)); }

std::optional<std::string> textOf(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::string noteStore(std::string_view path) {
  return Endpoints::evernote() + "/edam/NoteStore" + std::string(path);
}

// The note's own address: the GUID is one path segment, whatever it holds.
std::string noteURL(const std::string& guid) {
  return noteStore("/note/" + PercentEncoding::pathSegment(guid));
}

using APIBody = Result<std::string, ToolError>;

ToolError statusFailure(const HttpResponse& response) {
  const json body = json::parse(response.body, nullptr, false);
  if (body.is_object()) {
    if (auto code = textOf(body, "errorCode"))
      return failure(std::string(Texts::kApiError) + *code);
  }
  return failure(std::string(Texts::kApiError) + "HTTP " + std::to_string(response.status));
}

APIBody enRun(std::string method, const std::string& url, const std::string& token,
              std::optional<json> body = std::nullopt) {
  HttpRequest request;
  request.method = std::move(method);
  request.url = url;
  request.headers = {{"Authorization", "Bearer " + token}, {"Accept", "application/json"}};
  if (body) {
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = body->dump(-1, ' ', false, json::error_handler_t::replace);
  }
  request.timeout = kRequestTimeout;
  HttpResult answer = HttpClient::perform(request);
  if (!answer) return fail(failure(answer.error().message));
  const HttpResponse& response = answer.value();
  if (response.status == 401) return fail(failure(Texts::kAuthFailed));
  // A failed status is a failure, whatever its body looks like.
  if (response.status >= 400) return fail(statusFailure(response));
  if (response.body.empty()) return fail(failure(Texts::kEmptyResponse));
  return std::move(answer).value().body;
}

// A note answer as an object, or the failure it stands for.
Result<json, ToolError> noteAnswer(const APIBody& body) {
  if (!body) return fail(body.error());
  json note = json::parse(body.value(), nullptr, false);
  if (!note.is_object()) return fail(failure(Texts::kUnexpectedResponse));
  if (auto code = textOf(note, "errorCode"))
    return fail(failure(std::string(Texts::kApiError) + *code));
  return note;
}

std::optional<std::string> updatedText(const json& note) {
  const auto found = note.find("updated");
  if (found == note.end() || !found->is_number()) return std::nullopt;
  const auto millis = std::chrono::milliseconds(static_cast<std::int64_t>(found->get<double>()));
  return Timestamp::iso8601UTC(std::chrono::system_clock::time_point(millis));
}

ToolResult listNotebooks(const ConfigManager& settings, const Params::Arguments&) {
  auto token = enAccessToken(settings);
  if (!token) return fail(token.error());
  APIBody body = enRun("GET", noteStore("/notebooks"), token.value());
  if (!body) return fail(body.error());
  const json notebooks = json::parse(body.value(), nullptr, false);
  if (!notebooks.is_array() || !std::all_of(notebooks.begin(), notebooks.end(),
                                            [](const json& n) { return n.is_object(); })) {
    return fail(failure(Texts::kUnexpectedResponse));
  }
  if (notebooks.empty()) return ToolResponse::text(Texts::kNoNotebooks);
  std::string text = "Your Evernote notebooks (" + std::to_string(notebooks.size()) + "):\n\n";
  for (std::size_t i = 0; i < notebooks.size(); ++i) {
    const json& notebook = notebooks[i];
    if (i > 0) text += "\n";
    text += "• " + textOf(notebook, "name").value_or("(unnamed)") +
            " (guid: " + textOf(notebook, "guid").value_or("") + ")";
    const auto count = notebook.find("approximateNoteCount");
    if (count != notebook.end() && count->is_number_integer()) {
      text += " — " + std::to_string(count->get<std::int64_t>()) + " notes";
    }
    const auto isDefault = notebook.find("defaultNotebook");
    if (isDefault != notebook.end() && isDefault->is_boolean() && isDefault->get<bool>()) {
      text += " [default]";
    }
  }
  return ToolResponse::text(text);
}

ToolResult searchEvernote(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("query", arguments, [&](const std::string& query) -> ToolResult {
    const std::int64_t limit =
        std::min<std::int64_t>(Params::optionalInt("limit", arguments, 20), 50);
    const std::string notebook = Params::optional("notebook_guid", arguments, "");
    auto token = enAccessToken(settings);
    if (!token) return fail(token.error());
    json filter = {{"words", query}};
    if (!notebook.empty()) filter["notebookGuid"] = notebook;
    const json request = {{"filter", filter},
                          {"offset", 0},
                          {"maxNotes", limit},
                          {"resultSpec",
                           {{"includeTitle", true},
                            {"includeCreated", true},
                            {"includeUpdated", true},
                            {"includeNotebookGuid", true}}}};
    APIBody body = enRun("POST", noteStore("/findNotesMetadata"), token.value(), request);
    if (!body) return fail(body.error());
    const json answer = json::parse(body.value(), nullptr, false);
    const auto notes = answer.is_object() ? answer.find("notes") : answer.end();
    if (!answer.is_object() || notes == answer.end() || !notes->is_array() ||
        !std::all_of(notes->begin(), notes->end(), [](const json& n) { return n.is_object(); })) {
      return fail(failure(Texts::kUnexpectedSearch));
    }
    if (notes->empty()) return ToolResponse::text("No notes found matching '" + query + "'.");
    const auto totalMember = answer.find("totalNotes");
    const std::int64_t returned = static_cast<std::int64_t>(notes->size());
    const std::int64_t total = totalMember != answer.end() && totalMember->is_number_integer()
                                   ? totalMember->get<std::int64_t>()
                                   : returned;
    std::string text = "Found " + std::to_string(total) + " note(s) matching '" + query + "'";
    if (returned < total) {
      text += " (showing " + std::to_string(returned) + " of " + std::to_string(total) + ")";
    }
    text += ":\n\n";
    for (std::size_t i = 0; i < notes->size(); ++i) {
      const json& note = (*notes)[i];
      if (i > 0) text += "\n\n";
      text += "• " + textOf(note, "title").value_or("(untitled)") +
              "\n  guid: " + textOf(note, "guid").value_or("");
      if (auto updated = updatedText(note)) text += "\n  updated: " + *updated;
    }
    return ToolResponse::text(text);
  });
}

ToolResult readNote(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("guid", arguments, [&](const std::string& guid) -> ToolResult {
    auto token = enAccessToken(settings);
    if (!token) return fail(token.error());
    auto note = noteAnswer(
        enRun("GET", noteURL(guid) + "?withContent=true&withResourceData=false", token.value()));
    if (!note) return fail(note.error());
    std::string text = "# " + textOf(note.value(), "title").value_or("(untitled)") + "\n\n" +
                       enmlToText(textOf(note.value(), "content").value_or(""));
    if (auto updated = updatedText(note.value())) {
      text += "\n\n---\nguid: " + guid + "\nupdated: " + *updated;
    }
    return ToolResponse::text(text);
  });
}

ToolResult createNote(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired2(
      "title", "content", arguments,
      [&](const std::string& title, const std::string& content) -> ToolResult {
        const std::string notebook = Params::optional("notebook_guid", arguments, "");
        auto token = enAccessToken(settings);
        if (!token) return fail(token.error());
        json request = {{"title", title}, {"content", enmlWrap(content)}};
        if (!notebook.empty()) request["notebookGuid"] = notebook;
        auto note = noteAnswer(enRun("POST", noteStore("/note"), token.value(), request));
        if (!note) return fail(note.error());
        return ToolResponse::text("Note '" + title + "' created successfully.\nguid: " +
                                  textOf(note.value(), "guid").value_or("(unknown)"));
      });
}

ToolResult updateNote(const ConfigManager& settings, const Params::Arguments& arguments) {
  return Params::withRequired("guid", arguments, [&](const std::string& guid) -> ToolResult {
    const std::string title = Params::optional("title", arguments, "");
    const std::string content = Params::optional("content", arguments, "");
    if (title.empty() && content.empty()) return fail(failure(Texts::kNothingToUpdate));
    auto token = enAccessToken(settings);
    if (!token) return fail(token.error());
    json request = {{"guid", guid}};
    if (!title.empty()) request["title"] = title;
    if (!content.empty()) request["content"] = enmlWrap(content);
    auto note = noteAnswer(enRun("PUT", noteURL(guid), token.value(), request));
    if (!note) return fail(note.error());
    return ToolResponse::text("Note updated successfully.\nguid: " +
                              textOf(note.value(), "guid").value_or(guid));
  });
}

void add(ToolRegistry& registry, const Texts::ToolText& tool, json inputSchema, ToolKind kind,
         ToolHandler handler) {
  registry.registerTool({std::string(tool.name), std::string(tool.description),
                         std::move(inputSchema), kind, std::move(handler)});
}

}  // namespace

void registerTools(ToolRegistry& registry, std::chrono::milliseconds signInWait) {
  using enum ToolKind;
  const ConfigManager& settings = *registry.context().settings;
  const auto text = [](std::string_view description) { return property("string", description); };
  const json none = schema(json::object(), json::array());
  add(registry, Texts::kConnect, none, readOnly, [&settings, signInWait](const Params::Arguments&) {
    return connectEvernote(settings, signInWait);
  });
  add(registry, Texts::kDisconnect, none, readOnly, withSettings(settings, disconnectEvernote));
  add(registry, Texts::kListNotebooks, none, readOnly, withSettings(settings, listNotebooks));
  add(registry, Texts::kSearch,
      schema({{"query", text(Texts::kQueryArg)},
              {"notebook_guid", text(Texts::kSearchNotebookArg)},
              {"limit", property("integer", Texts::kLimitArg)}},
             json::array({"query"})),
      readOnly, withSettings(settings, searchEvernote));
  add(registry, Texts::kRead, schema({{"guid", text(Texts::kReadGuidArg)}}, json::array({"guid"})),
      readOnly, withSettings(settings, readNote));
  // Creating and updating change the user's notes, so read-only mode holds them back.
  add(registry, Texts::kCreate,
      schema({{"title", text(Texts::kTitleArg)},
              {"content", text(Texts::kContentArg)},
              {"notebook_guid", text(Texts::kCreateNotebookArg)}},
             json::array({"title", "content"})),
      write, withSettings(settings, createNote));
  add(registry, Texts::kUpdate,
      schema({{"guid", text(Texts::kUpdateGuidArg)},
              {"title", text(Texts::kNewTitleArg)},
              {"content", text(Texts::kNewContentArg)}},
             json::array({"guid"})),
      write, withSettings(settings, updateNote));
}

}  // namespace tvrn::EvernoteTools
