"""The program's own texts, byte for byte, as its boxes and status window
show them: written once for every Python suite that checks them (the POSIX
end-to-end tests add the terminal desktop's framing, the Wine tests read the
same bytes out of real windows)."""

CRLF = b"\r\n"
NOTICE_CAPTION = b"PelMatic 2.000 - automatic version checker"
# Every information box gets four blanks after its text.
NOTICE_TAIL = b"    "
WAIT = b"Please wait to update ..... "
CLOSE_APP_NOTICE = b"Please CLOSE APPLICATION before update !  "
# The box that offers to try again, with Retry and Cancel.
RETRY_BOX_FLAGS = 0x5 | 0x30 | 0x1000 | 0x40000


def close_app_box(close_app):
    return CLOSE_APP_NOTICE + CRLF + CRLF + close_app


def question_caption(ver_file=b"editor"):
    return b"PelMatic 2.000 - " + ver_file


def up_to_date(ver_file=b"editor", remote=b"2.30", old=b"2.30"):
    return (b"You do not need to update  !  " + CRLF + CRLF + ver_file + CRLF + CRLF +
            b"remote version:   " + remote + b"." + CRLF + CRLF +
            b"your old version:  " + old + b".")


def no_information(ver_file=b"editor"):
    return b"Not able to find version info !   " + CRLF + CRLF + ver_file


def notes_block(remote, old, notes):
    return (b"There is NEW VERSION available :   " + CRLF + CRLF + b"remote version:   " + remote +
            b"." + CRLF + CRLF + b"your old version:  " + old + b"." + CRLF + CRLF +
            b"What is new: " + CRLF + notes + b"   " + CRLF + CRLF)


def homepage_question(remote, old, notes):
    return notes_block(remote, old, notes) + b"Show homepage ?   " + CRLF


def update_question(update_file, remote, old, notes):
    return (notes_block(remote, old, notes) + update_file + CRLF + CRLF +
            b"Please CLOSE APPLICATION before update !   " + CRLF + CRLF +
            b"UPDATE to the new version now (No= Show homepage) ?   " + CRLF)


def complete(ver_file=b"editor"):
    return b"Update is now complete !    " + CRLF + CRLF + ver_file


def failed(code):
    return b"%d - Auto Update FAILED !" % code
