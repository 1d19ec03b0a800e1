#include "compressor/compress_fact.h"

#include "compressor/compressor_table.h"
#include "compressor/fact_record.h"
#include "compressor/fact_text_writer.h"

namespace vm {

bool compress_fact(const FactCompressor& compressor, ByteSpan record, std::string& out) {
  FactRecordReader reader(record);
  return compress_fact_from(compressor, reader, out);
}

bool compress_fact(const FactCompressor& compressor, ByteSpan record, std::string& out, FactLayout& layout) {
  FactRecordReader reader(record);
  return compress_fact_from(compressor, reader, out, layout);
}

bool compress_fact_with_handle(CompressorHandle handle, ByteSpan record, std::string& out) {
  const auto compressor = acquire_compressor(handle);
  return compressor && compress_fact(*compressor, record, out);
}

}  // namespace vm
