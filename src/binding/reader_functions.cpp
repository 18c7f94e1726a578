// parse_fasta, parse_transfac and parse_profile: the readers' module functions.
// Each reads its text argument in place and raises a reader's message as a
// bare OSError.
#include <variant>

#include "classes.hpp"
#include "parser/fasta_reader.hpp"
#include "parser/profile_reader.hpp"
#include "parser/transfac_reader.hpp"

namespace vok::binding {
namespace {

constexpr const char* kTextParameter[] = {"c"};
constexpr Signature kParseFasta{"parse_fasta()", kTextParameter};
constexpr Signature kParseTransfac{"parse_transfac()", kTextParameter};
constexpr Signature kParseProfile{"parse_profile()", kTextParameter};

template <class T>
T loaded_or_raise(LoadResult<T>&& result) {
  if (auto* error = std::get_if<ReaderError>(&result)) {
    throw RaisedError(PyErrorKind::kOSError, std::move(error->message));
  }
  return std::get<T>(std::move(result));
}

std::string_view text_argument(const BoundArguments<1>& arguments) {
  return convert_argument("c", [&] { return text_in_place(arguments[0]); });
}

PyRef parse_fasta(const BoundArguments<1>& arguments) {
  return wrap_list<FastaClass>(loaded_or_raise(load_fasta(text_argument(arguments))));
}

PyRef parse_transfac(const BoundArguments<1>& arguments) {
  return wrap_list<PwmMatrixClass>(loaded_or_raise(load_transfac(text_argument(arguments))));
}

PyRef parse_profile(const BoundArguments<1>& arguments) {
  CutoffMap cutoffs = loaded_or_raise(load_profile(text_argument(arguments)));
  std::vector<ProfileRecord> records;
  records.reserve(cutoffs.size());
  for (auto& [id, pair] : cutoffs) records.push_back({id, pair.css, pair.mss});
  return wrap_list<ProfileClass>(records);
}

}  // namespace

PyMethodDef parse_fasta_definition{
    "parse_fasta", as_method(&module_function<kParseFasta, 1, parse_fasta>),
    METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef parse_transfac_definition{
    "parse_transfac", as_method(&module_function<kParseTransfac, 1, parse_transfac>),
    METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef parse_profile_definition{
    "parse_profile", as_method(&module_function<kParseProfile, 1, parse_profile>),
    METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace vok::binding
