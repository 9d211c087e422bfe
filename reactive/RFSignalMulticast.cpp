// Operators that share one subscription to a signal among many subscribers through a subject.

#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"

RFMulticastConnectionPtr RFSignal::publish() {
  RFSubjectPtr subject = RFSubject::subject();
  subject->setNameWithFormat("[%@] -publish", name());
  return multicast(subject);
}

RFMulticastConnectionPtr RFSignal::multicast(const RFSubjectPtr& subject) {
  subject->setNameWithFormat("[%@] -multicast: %@", name(), subject->name());
  return RFMulticastConnection::create(selfSignal(), subject);
}

RFSignalPtr RFSignal::replay() {
  RFReplaySubjectPtr subject = RFReplaySubject::subject();
  subject->setNameWithFormat("[%@] -replay", name());
  RFMulticastConnectionPtr connection = multicast(subject);
  connection->connect();
  return connection->signal();
}

RFSignalPtr RFSignal::replayLast() {
  RFReplaySubjectPtr subject = RFReplaySubject::replaySubjectWithCapacity(1);
  subject->setNameWithFormat("[%@] -replayLast", name());
  RFMulticastConnectionPtr connection = multicast(subject);
  connection->connect();
  return connection->signal();
}

RFSignalPtr RFSignal::replayLazily() {
  RFMulticastConnectionPtr connection = multicast(RFReplaySubject::subject());
  RFSignalPtr result = defer([connection] {
    connection->connect();
    return connection->signal();
  });
  result->setNameWithFormat("[%@] -replayLazily", name());
  return result;
}
