// Writes what is made from the table of commands and options at build time, so that neither the
// bash completion nor the manual page keeps a list of its own:
//   navkeypad-docs completion TEMPLATE OUT   the completion, its @WORDS@ filled in
//   navkeypad-docs man                   the manual page's commands and options, for help2man
//   navkeypad-docs names                 "command NAME" and "option NAME", a line each, for checks
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "code_table/vocabulary.h"
#include "command_table.h"
#include "names.h"

namespace cli = navkeypad::cli;

namespace {

// The options as a bash case pattern ("--a | --b"), those `wanted` picks.
template <typename Wanted>
std::string Pattern(Wanted wanted) {
  std::vector<std::string> names;
  for (const cli::OptionDeclaration& option : cli::OptionTable())
    if (wanted(option)) names.push_back(option.name);
  return cli::Joined(names, " | ");
}

std::string ArgumentCases() {
  std::string cases;
  for (const cli::CommandDeclaration& command : cli::CommandTable()) {
    const std::string name = command.name;
    if (command.offers == cli::Offers::kWords) {
      cases += "    " + name + ") ((arguments == 0)) && COMPREPLY=($(compgen -W \"" +
               command.words + "\" -- \"$current\")) ;;\n";
    } else if (command.offers == cli::Offers::kFiles) {
      cases += "    " + name + ") COMPREPLY=($(compgen -f -- \"$current\")) ;;\n";
    }
  }
  if (!cases.empty()) cases.pop_back();
  return cases;
}

std::map<std::string, std::string> CompletionWords() {
  using cli::Offers;
  std::vector<std::string> commands, options, codeTableCommands, modifiers;
  std::string codeTableWords;
  for (const cli::CommandDeclaration& command : cli::CommandTable()) {
    commands.push_back(command.name);
    if (command.offers == Offers::kCodeTable) {
      codeTableCommands.push_back(command.name);
      codeTableWords = command.words;
    }
  }
  for (const cli::OptionDeclaration& option : cli::OptionTable()) {
    if (option.shortName != nullptr) options.push_back(option.shortName);
    options.push_back(option.name);
  }
  for (int position = 0; position < static_cast<int>(navkeypad::kModifierNameCount); ++position)
    modifiers.push_back(cli::ModifierName(navkeypad::ModifierIndexToUsage(position)));
  const auto offering = [](Offers offers) {
    return Pattern([=](const cli::OptionDeclaration& o) { return o.value && o.offers == offers; });
  };
  return {
      {"@COMMANDS@", cli::Joined(commands, " ")},
      {"@OPTIONS@", cli::Joined(options, " ")},
      {"@PATH_OPTIONS@", offering(Offers::kPaths)},
      {"@SERIAL_OPTIONS@", offering(Offers::kSerials)},
      {"@FILE_OPTIONS@", offering(Offers::kFiles)},
      {"@OTHER_VALUED_OPTIONS@", offering(Offers::kNothing)},
      {"@VALUED_OPTIONS@", Pattern([](const cli::OptionDeclaration& o) { return o.value; })},
      {"@ARGUMENT_CASES@", ArgumentCases()},
      {"@CODE_TABLE_COMMANDS@", cli::Joined(codeTableCommands, " | ")},
      {"@CODE_TABLE_WORDS@", codeTableWords},
      {"@MODIFIERS@", cli::Joined(modifiers, " ")},
  };
}

int Completion(const char* templatePath, const char* outPath) {
  std::ifstream file(templatePath);
  std::stringstream read;
  read << file.rdbuf();
  std::string text = read.str();
  if (!file || text.empty()) {
    std::cerr << "navkeypad-docs: cannot read " << templatePath << "\n";
    return 1;
  }
  for (const auto& [word, value] : CompletionWords()) {
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at))
      text.replace(at, word.size(), value);
  }
  // A word left over is one the template asks for and nothing here fills in ("${words[@]}"
  // is bash's own).
  for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
    const std::size_t end = text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_", at + 1);
    if (end == at + 1 || end == std::string::npos || text[end] != '@') continue;
    std::cerr << "navkeypad-docs: " << templatePath << " asks for " << text.substr(at, end + 1 - at)
              << ", which the table does not give\n";
    return 1;
  }
  std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::cerr << "navkeypad-docs: cannot write " << outPath << "\n";
    return 1;
  }
  return 0;
}

// A text as roff takes it: backslashes doubled, dashes as dashes, a line's leading dot no
// request.
std::string Roff(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '-') {
      out += "\\-";
    } else if (c == '.' && lineStart) {
      out += "\\&.";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

int Man() {
  std::cout << "[COMMANDS]\n";
  for (const cli::CommandDeclaration& command : cli::CommandTable()) {
    const std::string help = command.help;
    const std::size_t blank = help.find("\n\n");
    std::string synopsis = help.substr(0, blank + 1);
    const std::string usage = "Usage: ";
    synopsis.erase(0, usage.size());
    for (std::size_t at = synopsis.find("\n       "); at != std::string::npos;
         at = synopsis.find("\n       ", at + 1))
      synopsis.erase(at + 1, 7);
    std::string body = Roff(help.substr(blank + 2));
    for (std::size_t at = body.find("\n\n"); at != std::string::npos; at = body.find("\n\n", at))
      body.replace(at, 2, "\n.br\n");
    std::cout << ".TP\n.B " << Roff(command.name) << "\n.nf\n" << Roff(synopsis) << ".fi\n" << body;
  }
  std::cout << "[OPTIONS]\n";
  for (const cli::OptionDeclaration& option : cli::OptionTable()) {
    std::string names =
        Roff(option.shortName ? std::string(option.shortName) + ", " : "") + Roff(option.name);
    std::cout << ".TP\n"
              << (option.value ? ".BI " + names + " \" " + option.value + "\"" : ".B " + names)
              << "\n"
              << Roff(option.help) << ".\n";
  }
  return 0;
}

int Names() {
  for (const cli::CommandDeclaration& command : cli::CommandTable())
    std::cout << "command " << command.name << "\n";
  for (const cli::OptionDeclaration& option : cli::OptionTable())
    std::cout << "option " << option.name << (option.value ? " valued" : "") << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "completion" && argc == 4) return Completion(argv[2], argv[3]);
  if (what == "man" && argc == 2) return Man();
  if (what == "names" && argc == 2) return Names();
  std::cerr << "usage: navkeypad-docs completion TEMPLATE OUT | man | names\n";
  return 2;
}
