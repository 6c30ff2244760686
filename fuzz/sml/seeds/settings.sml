<?xml version="1.0" encoding="UTF-8"?>
<settings version="1.0">
  <WARNING>Geomuxer Settings file, do not edit!</WARNING>
  <general>
    <tracker>3</tracker>
    <savepos>true</savepos>
  </general>
  <nmeatcpip>
    <host/>
  </nmeatcpip>
</settings>
