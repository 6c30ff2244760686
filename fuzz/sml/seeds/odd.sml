<?xml version="1.0" encoding="ISO-8859-1"?>
<!DOCTYPE gpx>
<!-- note -->
<gpx creator="x &#038; y" a='b' flag>
  text &#233;&#x41; é <trk><name>a&#060;b</name></trk> more
  <!-- inner --></GPX>
