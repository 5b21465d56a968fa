#pragma once

// The interface of every output a job can feed messages into, one at a time:
// the text, CSV, HTML and PDF exporters and the writer of local message
// databases. A job calls begin once, write for each message in its order and
// end once; a job that stops early (failure or cancel) deletes the exporter
// without calling end. Implementations are deleted through this base.
template<typename T> class AbsFormatExport
{
public:
    virtual ~AbsFormatExport() = default;

    // Opens the output and starts it. Throws std::runtime_error on failure.
    virtual void begin() = 0;
    // Adds one record.
    virtual void write(T *item) = 0;
    // Finishes the output and closes it.
    virtual void end() = 0;

protected:
    AbsFormatExport() = default;
    AbsFormatExport(const AbsFormatExport &) = default;
    AbsFormatExport &operator=(const AbsFormatExport &) = default;
};
