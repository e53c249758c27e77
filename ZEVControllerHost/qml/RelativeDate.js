.pragma library

// A date relative to now in words, with named forms where English has them ("yesterday",
// "last week"): the texts of the paired-devices list.

var second = 1000, minute = 60 * second, hour = 60 * minute, day = 24 * hour;

function past(unit, n) {
    switch (unit) {
    case "second": return n === 1 ? qsTr("1 second ago") : qsTr("%1 seconds ago").arg(n);
    case "minute": return n === 1 ? qsTr("1 minute ago") : qsTr("%1 minutes ago").arg(n);
    case "hour": return n === 1 ? qsTr("1 hour ago") : qsTr("%1 hours ago").arg(n);
    case "day": return n === 1 ? qsTr("yesterday") : qsTr("%1 days ago").arg(n);
    case "week": return n === 1 ? qsTr("last week") : qsTr("%1 weeks ago").arg(n);
    case "month": return n === 1 ? qsTr("last month") : qsTr("%1 months ago").arg(n);
    default: return n === 1 ? qsTr("last year") : qsTr("%1 years ago").arg(n);
    }
}

function future(unit, n) {
    switch (unit) {
    case "second": return n === 1 ? qsTr("in 1 second") : qsTr("in %1 seconds").arg(n);
    case "minute": return n === 1 ? qsTr("in 1 minute") : qsTr("in %1 minutes").arg(n);
    case "hour": return n === 1 ? qsTr("in 1 hour") : qsTr("in %1 hours").arg(n);
    case "day": return n === 1 ? qsTr("tomorrow") : qsTr("in %1 days").arg(n);
    case "week": return n === 1 ? qsTr("next week") : qsTr("in %1 weeks").arg(n);
    case "month": return n === 1 ? qsTr("next month") : qsTr("in %1 months").arg(n);
    default: return n === 1 ? qsTr("next year") : qsTr("in %1 years").arg(n);
    }
}

// Counts whole elapsed units (a day is 24 hours, a month 30 days), largest unit first. A date
// in the future (the wall clock was set back since) reads "in …" rather than a negative age.
function describe(date, now) {
    if (!(date instanceof Date) || isNaN(date.getTime()))
        return "";
    now = now || new Date();
    var delta = date.getTime() - now.getTime();
    var ahead = delta > 0;
    var span = Math.abs(delta);
    if (span < second)
        return qsTr("now");

    var unit, n;
    if (span < minute) {
        unit = "second"; n = Math.floor(span / second);
    } else if (span < hour) {
        unit = "minute"; n = Math.floor(span / minute);
    } else if (span < day) {
        unit = "hour"; n = Math.floor(span / hour);
    } else if (span < 7 * day) {
        unit = "day"; n = Math.floor(span / day);
    } else if (span < 30 * day) {
        unit = "week"; n = Math.floor(span / (7 * day));
    } else if (span < 365 * day) {
        unit = "month"; n = Math.max(1, Math.floor(span / (30 * day)));
    } else {
        unit = "year"; n = Math.floor(span / (365 * day));
    }
    return ahead ? future(unit, n) : past(unit, n);
}
