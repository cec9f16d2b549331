"""What a conversion is asked to do, as one value from the command line to the
converter: the md, kv and batch commands build it once, batch's tasks carry
it whole (it pickles), and it becomes zendral_document's keywords in one
place. A new option is a field here, an argument in the parser and a keyword
of the native functions."""

MARKDOWN, KEY_VALUE = "markdown", "key_value"


class Options(object):
    """escape: the output safe for other programs (Markdown's & < > " as
    entities, keys and values as JSON strings); off gives the three list
    functions' exact bytes. page: Markdown as a whole HTML5 document; css: a
    stylesheet URL for that page. threads: how many convert one file (the
    command's own conversions use the cores; batch's workers one each)."""

    __slots__ = ("escape", "page", "css", "threads")

    def __init__(self, escape=True, page=False, css=None, threads=1):
        self.escape = escape
        self.page = page
        self.css = css
        self.threads = threads

    def keywords(self, kind, title=None):
        """The keyword arguments of zendral_document's file function for
        kind; title: the page's title when the document has no heading."""
        keywords = {"escape": self.escape}
        if kind == MARKDOWN and self.page:
            keywords.update(page=True, title=title, css=self.css)
        if self.threads != 1:  # as before threads were known: a cluster's workers may predate them
            keywords["threads"] = self.threads
        return keywords

    def __getstate__(self):
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setstate__(self, state):
        for name, value in zip(self.__slots__, state):
            setattr(self, name, value)

    def __eq__(self, other):
        return isinstance(other, Options) and self.__getstate__() == other.__getstate__()

    def __ne__(self, other):
        return not self == other

    def __repr__(self):
        return "Options(%s)" % ", ".join("%s=%r" % (name, getattr(self, name))
                                         for name in self.__slots__)
