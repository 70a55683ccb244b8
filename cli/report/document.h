#ifndef CLI_REPORT_DOCUMENT_H
#define CLI_REPORT_DOCUMENT_H

// The report as a document: sections of paragraphs, tables, findings and the
// chart, in the order the reader meets them. build_report_document() decides what
// the report says once; the HTML and Markdown writers only spell it out, so a new
// section is written in one place and shows in both.

#include "report.h"

#include <QString>
#include <QStringList>
#include <QVector>

struct DocTable {
    enum Kind {
        Figures,   // columns from `numeric_from` on are right-aligned figures
        Texts,     // words, as wide as their content
        KeyValues, // a name and its value per row, no header
    };
    Kind kind = Figures;
    QStringList header;
    QVector<QStringList> rows;
    int numeric_from = 1;
    bool halves = false; // a long list: HTML sets its two halves side by side
};

struct DocBlock {
    enum Kind {
        Text,    // a paragraph
        Note,    // a paragraph of secondary weight
        Callout, // a boxed statement in its tone; `title` leads in bold
        Finding, // `title` and `text`; consecutive findings form one list
        Table,
        Chart, // the cell chart; `text` says why when it cannot be drawn
    };
    Kind kind = Text;
    QString title;
    QString text;
    enum Tone { Good, Warning, Bad };
    Tone tone = Good; // Callout
    DocTable table;
};

struct DocSection {
    QString title; // empty: the blocks go on under the section before
    QVector<DocBlock> blocks;
    bool beside_next = false; // on paper, this section and the next share the width
};

struct ReportDocument {
    QString name; // the page's own title, as a window or tab shows it
    QString title;
    QString meta;           // the line under the title
    QVector<DocBlock> lead; // before the first section: who made it, the verdict
    QVector<DocSection> sections;
};

ReportDocument build_report_document(const ReportInput &in, const ReportAnalysis &a);

// `chart_svg` stands where the document has its chart; empty: the chart's note.
QByteArray write_html(const ReportDocument &doc, const QByteArray &chart_svg);
QByteArray write_markdown(const ReportDocument &doc);

#endif // CLI_REPORT_DOCUMENT_H
