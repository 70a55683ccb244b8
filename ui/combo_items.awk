# Post-processes the uic output of the form. uic fills a combo box in setupUi with
# blank items and names them one by one in retranslateUi; the form instead refills
# every item list in retranslateUi (clear, then insert the items in order), so that
# a retranslation can never leave a list half renamed or with a stale selection.
#
# Usage: awk -v out=FILE -f combo_items.awk UIC_OUTPUT

function flush_items() {
    if (combo != "")
        print combo_indent "    );" > out
    combo = ""
}

/^ *[A-Za-z_0-9]+->addItem\(QString\(\)\);$/ { next }

/^ *[A-Za-z_0-9]+->setItemText\([0-9]+, .*\);$/ {
    indent = substr($0, 1, match($0, /[^ ]/) - 1)
    rest = substr($0, length(indent) + 1)
    name = substr(rest, 1, index(rest, "->") - 1)
    args = substr(rest, index(rest, "(") + 1)
    item = substr(args, 1, index(args, ",") - 1) + 0
    text = substr(args, index(args, ", ") + 2)
    text = substr(text, 1, length(text) - 2)
    if (name != combo) {
        flush_items()
        if (item != 0) {
            print "combo_items.awk: " name " does not start at item 0" > "/dev/stderr"
            exit 1
        }
        combo = name
        combo_indent = indent
        next_item = 0
        print indent name "->clear();" > out
        print indent name "->insertItems(0, QStringList()" > out
    }
    if (item != next_item) {
        print "combo_items.awk: " name " item " item " out of order" > "/dev/stderr"
        exit 1
    }
    next_item++
    print indent "    << " text > out
    next
}

{
    flush_items()
    print > out
}

END { flush_items() }
