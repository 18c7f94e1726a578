#include "sequence/genome_composition.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace vok::sequence {

void GenomeComposition::add_chromosome() {
  chromosomes_.emplace_back();
  pending_excluded_.emplace_back();
}

void GenomeComposition::append(std::string_view letters) {
  if (chromosomes_.empty()) throw std::logic_error("append() before add_chromosome()");
  Chromosome& chromosome = chromosomes_.back();
  const std::uint64_t total = chromosome.length + letters.size();
  const std::size_t words = static_cast<std::size_t>((total + 63) / 64);
  chromosome.gc.resize(words, 0);
  chromosome.acgt.resize(words, 0);
  std::uint64_t at = chromosome.length;
  for (const char letter : letters) {
    const std::uint64_t bit = std::uint64_t{1} << (at % 64);
    const std::size_t word = static_cast<std::size_t>(at / 64);
    switch (letter) {
      case 'C': case 'c': case 'G': case 'g':
        chromosome.gc[word] |= bit;
        chromosome.acgt[word] |= bit;
        break;
      case 'A': case 'a': case 'T': case 't':
        chromosome.acgt[word] |= bit;
        break;
      default:
        break;
    }
    ++at;
  }
  chromosome.length = total;
}

std::uint64_t GenomeComposition::count_bits(const std::vector<std::uint64_t>& bits,
                                            std::uint64_t start, std::uint64_t end) {
  if (start >= end) return 0;
  const std::size_t first = static_cast<std::size_t>(start / 64);
  const std::size_t last = static_cast<std::size_t>((end - 1) / 64);
  const std::uint64_t head = ~std::uint64_t{0} << (start % 64);
  const std::uint64_t tail = ~std::uint64_t{0} >> (63 - (end - 1) % 64);
  if (first == last) return static_cast<std::uint64_t>(std::popcount(bits[first] & head & tail));
  std::uint64_t count = static_cast<std::uint64_t>(std::popcount(bits[first] & head)) +
                        static_cast<std::uint64_t>(std::popcount(bits[last] & tail));
  for (std::size_t word = first + 1; word < last; ++word) {
    count += static_cast<std::uint64_t>(std::popcount(bits[word]));
  }
  return count;
}

std::uint64_t GenomeComposition::gc_count(std::size_t chromosome, std::uint64_t start,
                                          std::uint64_t end) const {
  const Chromosome& c = chromosomes_.at(chromosome);
  if (start > end || end > c.length) throw std::out_of_range("region past the chromosome's end");
  return count_bits(c.gc, start, end);
}

std::uint64_t GenomeComposition::acgt_count(std::size_t chromosome, std::uint64_t start,
                                            std::uint64_t end) const {
  const Chromosome& c = chromosomes_.at(chromosome);
  if (start > end || end > c.length) throw std::out_of_range("region past the chromosome's end");
  return count_bits(c.acgt, start, end);
}

void GenomeComposition::exclude(std::size_t chromosome, std::uint64_t start, std::uint64_t end) {
  pending_excluded_.at(chromosome).emplace_back(start, end);
  excluded_sorted_ = false;
}

void GenomeComposition::sort_excluded() {
  for (std::size_t c = 0; c < chromosomes_.size(); ++c) {
    auto& intervals = pending_excluded_[c];
    std::sort(intervals.begin(), intervals.end());
    Chromosome& chromosome = chromosomes_[c];
    chromosome.excluded_start.clear();
    chromosome.excluded_reach.clear();
    std::uint64_t reach = 0;
    for (const auto& [start, end] : intervals) {
      reach = std::max(reach, end);
      chromosome.excluded_start.push_back(start);
      chromosome.excluded_reach.push_back(reach);
    }
  }
  excluded_sorted_ = true;
}

bool GenomeComposition::overlaps_excluded(const Chromosome& chromosome, std::uint64_t start,
                                          std::uint64_t end) const {
  // The intervals starting before `end`; one of them reaches past `start`
  // exactly when the largest end among them does.
  const auto& starts = chromosome.excluded_start;
  const auto before = static_cast<std::size_t>(std::lower_bound(starts.begin(), starts.end(), end) -
                                               starts.begin());
  return before > 0 && chromosome.excluded_reach[before - 1] > start;
}

DrawnRegions GenomeComposition::draw(std::uint64_t length, std::size_t count, RandomStream& random) {
  if (!excluded_sorted_) sort_excluded();
  DrawnRegions drawn;
  // Starts where a region of `length` fits, chromosome after chromosome.
  std::vector<std::uint64_t> cumulative;
  std::uint64_t total = 0;
  for (const Chromosome& chromosome : chromosomes_) {
    if (chromosome.length >= length && length > 0) total += chromosome.length - length + 1;
    cumulative.push_back(total);
  }
  if (total == 0) return drawn;
  drawn.chromosome.reserve(count);
  drawn.start.reserve(count);
  drawn.gc.reserve(count);
  drawn.acgt.reserve(count);
  drawn.excluded.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t pick = random.below(total);
    const auto c = static_cast<std::size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), pick) -
                                            cumulative.begin());
    const std::uint64_t start = pick - (c > 0 ? cumulative[c - 1] : 0);
    const Chromosome& chromosome = chromosomes_[c];
    drawn.chromosome.push_back(static_cast<std::uint32_t>(c));
    drawn.start.push_back(start);
    drawn.gc.push_back(static_cast<std::uint32_t>(count_bits(chromosome.gc, start, start + length)));
    drawn.acgt.push_back(static_cast<std::uint32_t>(count_bits(chromosome.acgt, start, start + length)));
    drawn.excluded.push_back(overlaps_excluded(chromosome, start, start + length) ? 1 : 0);
  }
  return drawn;
}

}  // namespace vok::sequence
