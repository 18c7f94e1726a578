// Loading a calculator from files. A file contributes all of its entries or
// none: everything is read, parsed and converted before the state changes.
// Failures are raised in the calculator's error notation, e.g.
// FileError(Os { code: 2, ... }) or ParseError("NoId").
#include <iterator>
#include <variant>

#include "calculator_methods.hpp"
#include "engine/file_reading.hpp"
#include "parser/profile_reader.hpp"
#include "parser/transfac_reader.hpp"
#include "text/quoted_string.hpp"

namespace vok::binding {
namespace {

[[noreturn]] void raise_parse_error(std::string_view message) {
  throw RaisedError(PyErrorKind::kOSError, "ParseError(" + quoted_string(message) + ")");
}

std::string read_file_argument(const BoundArguments<1>& arguments) {
  const std::string_view path = convert_argument("path", [&] { return text_in_place(arguments[0]); });
  // A FIFO with no writer waits for ever; Ctrl-C must still stop it.
  std::variant<std::string, FileError> contents;
  try {
    contents = read_text_file(path, [] { return PyErr_CheckSignals() < 0; });
  } catch (const ReadInterrupted&) {
    throw_pending_error();  // the signal handler's exception, usually KeyboardInterrupt
  }
  if (auto* error = std::get_if<FileError>(&contents)) {
    throw RaisedError(PyErrorKind::kOSError, "FileError(" + format_file_error(*error) + ")");
  }
  return std::get<std::string>(std::move(contents));
}

template <class T>
T loaded_or_raise(LoadResult<T>&& result) {
  if (auto* error = std::get_if<ReaderError>(&result)) raise_parse_error(error->message);
  return std::get<T>(std::move(result));
}

template <class T>
void append_all(std::vector<T>& target, std::vector<T>&& entries) {
  // Moving into reserved storage cannot fail, so the append is all or nothing.
  target.reserve(target.size() + entries.size());
  target.insert(target.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
}

}  // namespace

PyRef add_from_transfac_file(CalculatorState& state, const BoundArguments<1>& arguments) {
  const std::string text = read_file_argument(arguments);
  append_all(state.matrices, loaded_or_raise(load_transfac(text)));
  return none();
}

PyRef add_from_fasta_file(CalculatorState& state, const BoundArguments<1>& arguments) {
  std::vector<FastaRecord> records;
  {
    const std::string text = read_file_argument(arguments);
    records = loaded_or_raise(load_fasta(text));
  }  // the file text is released before the base codes are made
  std::vector<BaseSequence> sequences;
  sequences.reserve(records.size());
  for (FastaRecord& record : records) {
    std::optional<BaseSequence> sequence = to_bases(std::move(record));
    if (!sequence) raise_parse_error(kVariantNotFound);
    sequences.push_back(std::move(*sequence));
  }
  append_all(state.sequences, std::move(sequences));
  return none();
}

PyRef add_from_profile_file(CalculatorState& state, const BoundArguments<1>& arguments) {
  const std::string text = read_file_argument(arguments);
  CutoffMap cutoffs = loaded_or_raise(load_profile(text));
  CutoffMap merged = state.profiles;
  for (auto& [id, pair] : cutoffs) merged.insert_or_assign(id, pair);
  state.profiles.swap(merged);
  return none();
}

}  // namespace vok::binding
