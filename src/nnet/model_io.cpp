// Text records of trained models: a line-oriented writer and a strict reader that collects the
// whole record before it touches the target.
#include "orvo/model_io.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace Orvo {

namespace {

constexpr const char* kFormatName = "orvo-model";

std::string hexDouble(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%a", v);
  return text;
}

// --- writing ----------------------------------------------------------------------------------

void writeNetwork(std::string& out, const char* kind, const FeedForwardNeuralNet& net,
                  mvlarray<double>& weights) {
  out += "kind ";
  out += kind;
  out += "\nsizes " + std::to_string(net.ninputs()) + ' ' + std::to_string(net.nhidden()) + ' ' +
         std::to_string(net.noutputs()) + "\nvalues " + std::to_string(weights.Length()) + '\n';
  for (int k = 0; k < weights.Length(); ++k) out += hexDouble(weights[k]) + '\n';
  out += "end\n";
}

// GetWeights is not const in the network interface, but reads only.
template <class Net>
mvlarray<double> weightsOf(const Net& net) {
  mvlarray<double> w(net.nwts());
  const_cast<Net&>(net).GetWeights(w);
  return w;
}

std::string header() {
  return std::string(kFormatName) + ' ' + std::to_string(kModelFormatVersion) + '\n';
}

// --- reading ----------------------------------------------------------------------------------

class RecordReader {
 public:
  explicit RecordReader(std::istream& in) : in_(in) {}

  [[noreturn]] void fail(const std::string& reason) const {
    throw mvlException("model record line " + std::to_string(line_) + ": " + reason);
  }

  // The next line split into words; fails at the end of the stream.
  std::vector<std::string> words() {
    std::string text;
    if (!std::getline(in_, text)) {
      ++line_;
      fail("the record ends early");
    }
    ++line_;
    std::istringstream split(text);
    std::vector<std::string> result;
    for (std::string w; split >> w;) result.push_back(w);
    return result;
  }

  // A line "keyword a b c ..." with exactly `count` arguments.
  std::vector<std::string> expect(const std::string& keyword, std::size_t count) {
    std::vector<std::string> w = words();
    if (w.empty() || w[0] != keyword) fail("expected '" + keyword + "'");
    if (w.size() != count + 1)
      fail("'" + keyword + "' takes " + std::to_string(count) + " value(s)");
    w.erase(w.begin());
    return w;
  }

  double number(const std::string& text) const {
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') fail("'" + text + "' is not a number");
    if (!std::isfinite(v)) fail("'" + text + "' is not a finite number");
    return v;
  }

  int positiveInt(const std::string& text) const {
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 1 || v > INT_MAX)
      fail("'" + text + "' is not a positive size");
    return static_cast<int>(v);
  }

  void header() {
    const std::vector<std::string> w = words();
    if (w.size() != 2 || w[0] != kFormatName) fail("not a model record");
    if (w[1] != std::to_string(kModelFormatVersion))
      fail("format version " + w[1] + " is not supported (this library reads " +
           std::to_string(kModelFormatVersion) + ")");
  }

  void kind(const std::string& expected) {
    const std::vector<std::string> w = expect("kind", 1);
    if (w[0] != expected) fail("the record holds a " + w[0] + ", not a " + expected);
  }

 private:
  std::istream& in_;
  int line_ = 0;
};

struct NetworkRecord {
  int ninputs = 0, nhidden = 0, noutputs = 0;
  std::vector<double> values;
};

// Reads "sizes", "values", the values and "end" after a "kind" line.
NetworkRecord readNetworkBody(RecordReader& reader) {
  NetworkRecord record;
  const std::vector<std::string> sizes = reader.expect("sizes", 3);
  record.ninputs = reader.positiveInt(sizes[0]);
  record.nhidden = reader.positiveInt(sizes[1]);
  record.noutputs = reader.positiveInt(sizes[2]);
  const std::int64_t expected = (std::int64_t{record.ninputs} + 1) * record.nhidden +
                                (std::int64_t{record.nhidden} + 1) * record.noutputs;
  if (expected > INT_MAX) reader.fail("the sizes give more weights than an int counts");
  const std::vector<std::string> count = reader.expect("values", 1);
  if (reader.positiveInt(count[0]) != expected)
    reader.fail("'values' must be " + std::to_string(expected) + " for these sizes");
  // Grown as values arrive, so a corrupt count cannot demand storage the record does not hold.
  for (std::int64_t k = 0; k < expected; ++k) {
    const std::vector<std::string> w = reader.words();
    if (w.size() != 1) reader.fail("expected one value per line");
    record.values.push_back(reader.number(w[0]));
  }
  reader.expect("end", 0);
  return record;
}

mvlarray<double> toArray(const std::vector<double>& values) {
  mvlarray<double> w(static_cast<int>(values.size()));
  for (int k = 0; k < w.Length(); ++k) w[k] = values[k];
  return w;
}

RBF buildRbf(const NetworkRecord& record) {
  RBF net(record.ninputs, record.nhidden, record.noutputs);
  mvlarray<double> w = toArray(record.values);
  net.SetWeights(w);
  return net;
}

}  // namespace

void SaveModel(std::ostream& out, const MLP& net) {
  std::string text = header();
  mvlarray<double> w = weightsOf(net);
  writeNetwork(text, "MLP", net, w);
  out << text;
}

void SaveModel(std::ostream& out, const RBF& net) {
  std::string text = header();
  mvlarray<double> w = weightsOf(net);
  writeNetwork(text, "RBF", net, w);
  out << text;
}

void SaveModel(std::ostream& out, const TableInterpolator& interpolator) {
  std::string text = header() + "kind TableInterpolator\n";
  double first = 0.0, second = 0.0;
  interpolator.GetErrors(first, second);
  text += "errors " + hexDouble(first) + ' ' + hexDouble(second) + '\n';
  text +=
      "mean " + hexDouble(interpolator.Mean()[0]) + ' ' + hexDouble(interpolator.Mean()[1]) + '\n';
  text += "scale " + hexDouble(interpolator.Scale()[0]) + ' ' + hexDouble(interpolator.Scale()[1]) +
          '\n';
  const RBF* networks[] = {&interpolator.FirstNetwork(), &interpolator.SecondNetwork()};
  const char* names[] = {"first", "second"};
  for (int k = 0; k < 2; ++k) {
    text += std::string("network ") + names[k] + '\n';
    mvlarray<double> w = weightsOf(*networks[k]);
    writeNetwork(text, "RBF", *networks[k], w);
  }
  text += "end\n";
  out << text;
}

void LoadModel(std::istream& in, MLP& net) {
  RecordReader reader(in);
  reader.header();
  reader.kind("MLP");
  const NetworkRecord record = readNetworkBody(reader);
  MLP loaded(record.ninputs, record.nhidden, record.noutputs);
  mvlarray<double> w = toArray(record.values);
  loaded.SetWeights(w);
  net = loaded;
}

void LoadModel(std::istream& in, RBF& net) {
  RecordReader reader(in);
  reader.header();
  reader.kind("RBF");
  net = buildRbf(readNetworkBody(reader));
}

void LoadModel(std::istream& in, TableInterpolator& interpolator) {
  RecordReader reader(in);
  reader.header();
  reader.kind("TableInterpolator");
  std::vector<std::string> w = reader.expect("errors", 2);
  const double firstError = reader.number(w[0]), secondError = reader.number(w[1]);
  w = reader.expect("mean", 2);
  const double mean0 = reader.number(w[0]), mean1 = reader.number(w[1]);
  w = reader.expect("scale", 2);
  const double scale0 = reader.number(w[0]), scale1 = reader.number(w[1]);
  if (!(scale0 > 0.0) || !(scale1 > 0.0)) reader.fail("a scale must be positive");
  w = reader.expect("network", 1);
  if (w[0] != "first") reader.fail("expected 'network first'");
  reader.kind("RBF");
  const NetworkRecord first = readNetworkBody(reader);
  if (first.ninputs != 2) reader.fail("the first network must take the two table inputs");
  w = reader.expect("network", 1);
  if (w[0] != "second") reader.fail("expected 'network second'");
  reader.kind("RBF");
  const NetworkRecord second = readNetworkBody(reader);
  if (second.ninputs != first.noutputs)
    reader.fail("the second network must take the first network's outputs");
  reader.expect("end", 0);

  RBF firstNet = buildRbf(first), secondNet = buildRbf(second);
  interpolator.first_ = firstNet;
  interpolator.second_ = secondNet;
  interpolator.firstError_ = firstError;
  interpolator.secondError_ = secondError;
  interpolator.mean_[0] = mean0, interpolator.mean_[1] = mean1;
  interpolator.scale_[0] = scale0, interpolator.scale_[1] = scale1;
  interpolator.trained_ = true;
}

}  // namespace Orvo
