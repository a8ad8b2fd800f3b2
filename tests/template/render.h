// Helpers for the template tests: parse a text and evaluate it to a string.
#pragma once

#include <string>
#include <string_view>

#include "Eval.h"
#include "Template.h"

namespace quiltest {

inline std::string Render(std::string_view text, quil::ExprContext& ctx) {
  quil::TemplateRef t = quil::TemplateParse(quil::StFromView(text));
  return quil::TemplateProcess(t, ctx).Str();
}

inline std::string Render(std::string_view text, int32_t whileLimit = 1000) {
  quil::ExprContext ctx(whileLimit);
  return Render(text, ctx);
}

// The value of one expression.
inline std::string Value(std::string_view expr) {
  return Render("%%" + std::string(expr) + "%%");
}

// What an error expression writes for message at position pos of stmt.
inline std::string ErrorOut(std::string_view message, std::string_view before,
                            std::string_view after) {
  return "<b>%% " + std::string(message) + ": " + std::string(before) +
         "</b>" + std::string(after) + "<b> %%</b>";
}

}  // namespace quiltest
